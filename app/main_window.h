// The main window: the stored form with its named controls, the five event
// handlers, and the Form interface through which the routines reach it.
#pragma once

#include <QWidget>

#include <functional>

#include "platform/form.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace qm {

// The site of the tool, shown in 编辑框2 at start and opened at start-up.
inline constexpr const char* kHomeHost = "quillmere.example";
inline constexpr const char* kHomeAddress = "https://quillmere.example/";

class MainWindow : public QWidget, public Form {
 public:
  // `endProgram` ends the program with an exit code (the exit button).
  explicit MainWindow(std::function<void(int)> endProgram);
  ~MainWindow() override;

  // Form
  using Form::ShowMessage;
  void SetText(Control control, const Text& text) override;
  Text GetText(Control control) override;
  void SetEnabled(Control control, bool enabled) override;
  void SetPosition(Control control, std::int32_t position) override;
  std::int32_t GetPosition(Control control) override;
  void ShowMessage(const Text& message, const Text& caption) override;

  QWidget* Widget(Control control) const;

  // Runs one long operation (a resolve, a download): the window repaints
  // meanwhile but takes no input, and a second operation cannot start.
  void RunBusy(const std::function<void()>& work);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnCreated();
  void OnResolveClicked();
  void OnDownloadClicked();
  void OnExitClicked();
  void OnTimer();
  // Puts the latest size, percent and bar position on the widgets.
  void ShowPending();

  std::function<void(int)> endProgram_;
  // The controls, named after their roles; their objectNames are the form names.
  QLabel* caption_;             // 标签1
  QLineEdit* shareBox_;         // 编辑框1
  QPushButton* resolveButton_;  // 按钮1
  QPlainTextEdit* directBox_;   // 编辑框2
  QPushButton* downloadButton_; // 按钮2
  QProgressBar* progressBar_;   // 进度条1
  QPushButton* exitButton_;     // 按钮3
  QLabel* sizeLabel_;           // 透明标签1
  QLabel* percentLabel_;        // 透明标签2
  QTimer* timer_;               // 时钟1
  // The texts of the size and percent labels and the bar's position, as last
  // written. A download writes them after every kilobyte; while it runs they
  // reach the widgets when the window repaints, not at every write.
  Text sizeShown_;
  Text percentShown_;
  std::int32_t storedPosition_ = 0;
  bool pending_ = false;
  bool busy_ = false;
  bool leaving_ = false;  // closed while busy: the work is stopping, then the window closes
};

// Starts the program as main() does: clean-up registered, window shown,
// message loop run. `afterShow` lets a test act on the running window.
int RunQuillmere(int argc, char** argv, const std::function<void(MainWindow&)>& afterShow = {});

}  // namespace qm
