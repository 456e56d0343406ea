// The real quillmere program, copied into a fresh run folder and started with
// the driver plugin, so that a test can use it through its controls as a
// person would: type, click, read, and answer message boxes.
#pragma once

#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace qm::test {

struct Box {
  QString title;
  QString text;
  bool operator==(const Box&) const = default;
};

class ProgramRun {
 public:
  // Copies the program into `runFolder` (created when missing) and starts it.
  explicit ProgramRun(const QString& runFolder);
  ~ProgramRun();

  bool Started() const { return socket_ != nullptr; }
  QString RunFolder() const { return runFolder_; }

  void Type(const QString& control, const QString& text);
  void Click(const QString& control);
  QJsonObject Get(const QString& control);
  QString Text(const QString& control) { return Get(control)["text"].toString(); }

  // Waits until `control` shows `text` or a message box appears; true when
  // the control shows it.
  bool WaitForText(const QString& control, const QString& text, int timeoutMs = 20000);
  // Waits for a message box, records it, presses OK. An empty Box on time-out.
  Box AcceptNextBox(int timeoutMs = 30000);
  // Every box accepted so far, in order.
  const QList<Box>& Boxes() const { return boxes_; }
  // True when a message box is on screen now.
  bool BoxShown();

  // Waits for the program to end; its exit code, or -1 when it did not end.
  int WaitForExit(int timeoutMs = 10000);

 private:
  QJsonObject Call(const QJsonObject& request);

  QString runFolder_;
  QTemporaryDir socketDir_;
  QLocalServer server_;
  QLocalSocket* socket_ = nullptr;
  QProcess process_;
  QList<Box> boxes_;
};

}  // namespace qm::test
