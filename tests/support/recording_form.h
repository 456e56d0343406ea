// A Form that records what the routines show, in order, and stores the bar's
// position as the window does (limited to 0..32767, read back as stored).
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/form.h"

namespace qm::test {

class RecordingForm : public Form {
 public:
  enum class Kind { kText, kEnabled, kPosition, kMessage };
  struct Entry {
    Kind kind;
    Control control;
    Text text;     // the text written, or the message
    Text caption;  // of a message
    std::int32_t number = 0;  // the position or enabled state written
  };

  void SetText(Control control, const Text& text) override {
    texts_[control] = text;
    entries.push_back({Kind::kText, control, text, {}, 0});
  }
  Text GetText(Control control) override {
    const auto it = texts_.find(control);
    return it == texts_.end() ? Text{} : it->second;
  }
  void SetEnabled(Control control, bool enabled) override {
    entries.push_back({Kind::kEnabled, control, {}, {}, enabled ? 1 : 0});
  }
  void SetPosition(Control control, std::int32_t position) override {
    if (control == Control::进度条1) stored_ = std::clamp(position, 0, kMaxStoredPosition);
    entries.push_back({Kind::kPosition, control, {}, {}, position});
  }
  std::int32_t GetPosition(Control control) override { return control == Control::进度条1 ? stored_ : 0; }
  using Form::ShowMessage;
  void ShowMessage(const Text& message, const Text& caption) override {
    entries.push_back({Kind::kMessage, Control::标签1, message, caption, 0});
  }

  // "caption|message" in UTF-8, in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const Entry& e : entries) {
      if (e.kind == Kind::kMessage) out.push_back(Cp936ToUtf8(e.caption) + "|" + Cp936ToUtf8(e.text));
    }
    return out;
  }
  // The texts written to `control` in UTF-8, in order.
  std::vector<std::string> TextsOf(Control control) const {
    std::vector<std::string> out;
    for (const Entry& e : entries) {
      if (e.kind == Kind::kText && e.control == control) out.push_back(Cp936ToUtf8(e.text));
    }
    return out;
  }

  std::vector<Entry> entries;

 private:
  std::map<Control, Text> texts_;
  std::int32_t stored_ = 0;
};

}  // namespace qm::test
