#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

#include "app/program_state.h"
#include "download/download_command.h"
#include "platform/busy.h"
#include "platform/codepage.h"
#include "platform/runtime.h"
#include "resolve/resolver.h"

namespace qm {
namespace {

QString ToQString(const Text& text) {
  const std::u16string wide = Cp936ToUtf16(text);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

Text FromQString(const QString& text) {
  return Utf16ToCp936(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                          static_cast<std::size_t>(text.size())));
}

QString Name(Control control) {
  const std::string_view name = ControlName(control);
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

template <typename W>
W* Place(QWidget* parent, Control control, int left, int top, int width, int height) {
  auto* widget = new W(parent);
  widget->setObjectName(Name(control));
  widget->setGeometry(left, top, width, height);
  return widget;
}

}  // namespace

MainWindow::MainWindow(std::function<void(int)> endProgram) : endProgram_(std::move(endProgram)) {
  // The stored form: 400 x 241. The size and percent labels sit in a row under
  // the progress bar, where they can be read.
  resize(400, 241);
  move(50, 50);

  caption_ = Place<QLabel>(this, Control::标签1, 6, 12, 55, 24);
  caption_->setText(QStringLiteral("网盘地址："));

  shareBox_ = Place<QLineEdit>(this, Control::编辑框1, 64, 8, 240, 32);

  resolveButton_ = Place<QPushButton>(this, Control::按钮1, 312, 8, 80, 32);
  resolveButton_->setText(QStringLiteral("解析链接"));

  directBox_ = Place<QPlainTextEdit>(this, Control::编辑框2, 3, 43, 300, 133);
  directBox_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  directBox_->setWordWrapMode(QTextOption::WrapAnywhere);  // a long address has no spaces
  directBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  directBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  directBox_->setTabChangesFocus(true);
  directBox_->setPlainText(QString::fromLatin1(kHomeHost));

  downloadButton_ = Place<QPushButton>(this, Control::按钮2, 312, 43, 80, 133);
  downloadButton_->setText(QStringLiteral("下载"));

  progressBar_ = Place<QProgressBar>(this, Control::进度条1, 3, 184, 296, 24);
  progressBar_->setRange(0, 10000);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);  // the percent label says it

  exitButton_ = Place<QPushButton>(this, Control::按钮3, 312, 184, 80, 24);
  exitButton_->setText(QStringLiteral("退出"));

  sizeLabel_ = Place<QLabel>(this, Control::透明标签1, 3, 213, 146, 24);
  percentLabel_ = Place<QLabel>(this, Control::透明标签2, 153, 213, 146, 24);

  timer_ = new QTimer(this);
  timer_->setObjectName(Name(Control::时钟1));
  timer_->setInterval(1000);

  connect(resolveButton_, &QPushButton::clicked, this, &MainWindow::OnResolveClicked);
  connect(downloadButton_, &QPushButton::clicked, this, &MainWindow::OnDownloadClicked);
  connect(exitButton_, &QPushButton::clicked, this, &MainWindow::OnExitClicked);
  connect(timer_, &QTimer::timeout, this, &MainWindow::OnTimer);

  OnCreated();
  timer_->start();
}

MainWindow::~MainWindow() { SetBusyPump({}); }

void MainWindow::OnCreated() {
  setWindowTitle(QStringLiteral("Quillmere by Tobrin"));
  StartProgram(Text("explorer ") + kHomeAddress, kWindowNormal, /*waitForExit=*/false);
}

void MainWindow::OnResolveClicked() {
  RunBusy([this] {
    g_shareUrl = GetText(Control::编辑框1);
    ResolveShareLink(g_shareUrl, *this);
  });
}

void MainWindow::OnDownloadClicked() {
  RunBusy([this] { DownloadAndUnpack(*this); });
}

void MainWindow::OnExitClicked() { endProgram_(0); }

void MainWindow::OnTimer() {
  if (busy_) return;  // ticks belong to the idle window only
  downloadButton_->setEnabled(!directBox_->toPlainText().isEmpty());
}

void MainWindow::RunBusy(const std::function<void()>& work) {
  if (busy_) return;
  busy_ = true;
  SetBusyPump([this] {
    ShowPending();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  });
  work();
  SetBusyPump({});
  busy_ = false;
  ShowPending();
  if (leaving_) {
    ClearStopRequest();
    close();
  }
}

void MainWindow::ShowPending() {
  if (!pending_) return;
  pending_ = false;
  const QString size = ToQString(sizeShown_);
  if (sizeLabel_->text() != size) sizeLabel_->setText(size);
  const QString percent = ToQString(percentShown_);
  if (percentLabel_->text() != percent) percentLabel_->setText(percent);
  progressBar_->setValue(std::min(storedPosition_, progressBar_->maximum()));
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Closing in the middle of a download would end the program under it and
  // leave its file half-written: the work is asked to stop instead, and the
  // window closes once it has unwound.
  if (busy_) {
    leaving_ = true;
    RequestStop();
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

QWidget* MainWindow::Widget(Control control) const {
  switch (control) {
    case Control::标签1: return caption_;
    case Control::编辑框1: return shareBox_;
    case Control::按钮1: return resolveButton_;
    case Control::编辑框2: return directBox_;
    case Control::按钮2: return downloadButton_;
    case Control::进度条1: return progressBar_;
    case Control::按钮3: return exitButton_;
    case Control::透明标签1: return sizeLabel_;
    case Control::透明标签2: return percentLabel_;
    case Control::时钟1:
    case Control::ZIP压缩1: return nullptr;
  }
  return nullptr;
}

void MainWindow::SetText(Control control, const Text& text) {
  // A download writes the size and percent labels after every piece of 1 KB,
  // mostly with the text they show already: compare the bytes before paying
  // for the conversion and the relayout. Only this Form writes these labels.
  if (control == Control::透明标签1 || control == Control::透明标签2) {
    Text& shown = control == Control::透明标签1 ? sizeShown_ : percentShown_;
    if (text != shown) {
      shown = text;
      pending_ = true;
      if (!busy_) ShowPending();
    }
    PumpWhileBusy();
    return;
  }
  const QString value = ToQString(text);
  QWidget* widget = Widget(control);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(value);
  } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
    line->setText(value);
  } else if (auto* box = qobject_cast<QPlainTextEdit*>(widget)) {
    box->setPlainText(value);
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(value);
  }
  PumpWhileBusy();
}

Text MainWindow::GetText(Control control) {
  ShowPending();
  QWidget* widget = Widget(control);
  if (auto* label = qobject_cast<QLabel*>(widget)) return FromQString(label->text());
  if (auto* line = qobject_cast<QLineEdit*>(widget)) return FromQString(line->text());
  if (auto* box = qobject_cast<QPlainTextEdit*>(widget)) return FromQString(box->toPlainText());
  if (auto* button = qobject_cast<QPushButton*>(widget)) return FromQString(button->text());
  return {};
}

void MainWindow::SetEnabled(Control control, bool enabled) {
  if (QWidget* widget = Widget(control)) widget->setEnabled(enabled);
}

void MainWindow::SetPosition(Control control, std::int32_t position) {
  if (control != Control::进度条1) return;
  const std::int32_t stored = std::clamp(position, 0, kMaxStoredPosition);
  if (stored != storedPosition_) {
    storedPosition_ = stored;
    pending_ = true;
    if (!busy_) ShowPending();
  }
  PumpWhileBusy();
}

std::int32_t MainWindow::GetPosition(Control control) {
  return control == Control::进度条1 ? storedPosition_ : 0;
}

void MainWindow::ShowMessage(const Text& message, const Text& caption) {
  if (leaving_) return;  // the user closed the window and is not waiting for news
  ShowPending();  // the window behind the message shows where things stand
  QMessageBox box(QMessageBox::NoIcon, ToQString(caption), ToQString(message), QMessageBox::Ok);
  box.exec();
}

int RunQuillmere(int argc, char** argv, const std::function<void(MainWindow&)>& afterShow) {
  QApplication app(argc, argv);
  RegisterCleanup(ReleaseProgramState);
  MainWindow window([](int code) {
    RunCleanups();
    QCoreApplication::exit(code);
  });
  window.show();
  if (afterShow) afterShow(window);
  const int code = app.exec();
  RunCleanups();
  return code;
}

}  // namespace qm
