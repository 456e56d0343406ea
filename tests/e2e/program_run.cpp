#include "tests/e2e/program_run.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

namespace qm::test {

ProgramRun::ProgramRun(const QString& runFolder) : runFolder_(runFolder) {
  QDir().mkpath(runFolder_);
  const QString program = QDir(runFolder_).filePath("quillmere");
  QFile::remove(program);
  if (!QFile::copy(QStringLiteral(QUILLMERE_PROGRAM), program)) return;
  // A URL opener that does nothing, so the start-up page opens nowhere.
  QFile opener(socketDir_.filePath("xdg-open"));
  if (opener.open(QIODevice::WriteOnly)) opener.write("#!/bin/sh\nexit 0\n");
  opener.close();
  opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

  const QString socketPath = socketDir_.filePath("driver");
  if (!server_.listen(socketPath)) return;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("QT_PLUGIN_PATH", QStringLiteral(QUILLMERE_DRIVER_PLUGINS));
  env.insert("QT_QPA_GENERIC_PLUGINS", "quillmeredriver:" + socketPath);
  env.insert("PATH", socketDir_.path() + ":" + env.value("PATH"));
  process_.setProcessEnvironment(env);
  process_.setWorkingDirectory(QDir::tempPath());  // not the run folder: the program must find it itself
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.start(program, {});
  if (!process_.waitForStarted(10000)) return;
  if (!server_.waitForNewConnection(20000)) return;
  socket_ = server_.nextPendingConnection();
  // The driver is connected before the window exists: wait for the window.
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 20000 && !Get("编辑框1")["ok"].toBool()) QThread::msleep(20);
}

ProgramRun::~ProgramRun() {
  if (process_.state() != QProcess::NotRunning) {
    process_.kill();
    process_.waitForFinished(5000);
  }
}

QJsonObject ProgramRun::Call(const QJsonObject& request) {
  if (socket_ == nullptr || socket_->state() != QLocalSocket::ConnectedState) return {{"ok", false}};
  socket_->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + "\n");
  socket_->flush();
  QElapsedTimer clock;
  clock.start();
  while (!socket_->canReadLine()) {
    if (clock.elapsed() > 20000 || !socket_->waitForReadyRead(100)) {
      if (socket_->state() != QLocalSocket::ConnectedState || clock.elapsed() > 20000) return {{"ok", false}};
    }
  }
  return QJsonDocument::fromJson(socket_->readLine()).object();
}

void ProgramRun::Type(const QString& control, const QString& text) {
  Call({{"op", "set"}, {"name", control}, {"text", text}});
}

void ProgramRun::Click(const QString& control) { Call({{"op", "click"}, {"name", control}}); }

QJsonObject ProgramRun::Get(const QString& control) { return Call({{"op", "get"}, {"name", control}}); }

bool ProgramRun::BoxShown() { return !Call({{"op", "boxes"}})["boxes"].toArray().isEmpty(); }

bool ProgramRun::WaitForText(const QString& control, const QString& text, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < timeoutMs) {
    if (Text(control) == text) return true;
    if (BoxShown()) return false;
    QThread::msleep(20);
  }
  return false;
}

Box ProgramRun::AcceptNextBox(int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < timeoutMs) {
    const QJsonArray boxes = Call({{"op", "boxes"}})["boxes"].toArray();
    if (!boxes.isEmpty()) {
      const QJsonObject top = boxes.last().toObject();
      Box box{top["title"].toString(), top["text"].toString()};
      boxes_.append(box);
      Call({{"op", "accept"}});
      // Wait until this box is gone, so the next wait does not see it again.
      const int id = top["id"].toInt();
      const auto stillShown = [&] {
        for (const auto& b : Call({{"op", "boxes"}})["boxes"].toArray()) {
          if (b.toObject()["id"].toInt() == id) return true;
        }
        return false;
      };
      while (clock.elapsed() < timeoutMs && stillShown()) QThread::msleep(10);
      return box;
    }
    if (process_.state() == QProcess::NotRunning) break;
    QThread::msleep(20);
  }
  return {};
}

int ProgramRun::WaitForExit(int timeoutMs) {
  if (!process_.waitForFinished(timeoutMs)) return -1;
  return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

}  // namespace qm::test
