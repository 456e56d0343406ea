// The window toolkit as the system's routines see it: controls addressed by
// their form names, their texts, enabled states and positions, and the modal
// message box. The Qt window implements it, tests record through it, and a
// terminal front end can stand in for it.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"

namespace qm {

// The controls of the main window, by the names of the stored form.
#ifndef Q_MOC_RUN  // moc, which reads this header through the window's, cannot parse non-ASCII names
enum class Control {
  标签1,
  编辑框1,
  按钮1,
  编辑框2,
  按钮2,
  进度条1,
  按钮3,
  透明标签1,
  透明标签2,
  时钟1,
  ZIP压缩1,
};
#else
enum class Control;
#endif

// The form name in UTF-8, which is also the widget's objectName.
std::string_view ControlName(Control control);

// A written position is stored limited to this range and read back as stored;
// the bar draws it limited to its own range.
inline constexpr std::int32_t kMaxStoredPosition = 32767;

class Form {
 public:
  virtual ~Form() = default;

  virtual void SetText(Control control, const Text& text) = 0;
  virtual Text GetText(Control control) = 0;
  virtual void SetEnabled(Control control, bool enabled) = 0;
  virtual void SetPosition(Control control, std::int32_t position) = 0;
  virtual std::int32_t GetPosition(Control control) = 0;

  // Modal, one OK button, no owner window; returns when it was closed.
  virtual void ShowMessage(const Text& message, const Text& caption) = 0;
  // The same with the toolkit's default caption "信息：".
  void ShowMessage(const Text& message);
};

}  // namespace qm
