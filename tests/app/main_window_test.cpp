// The real main window on the offscreen platform.
#include "app/main_window.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdio>

#include "app/program_state.h"
#include "platform/codepage.h"
#include "tests/support/message_boxes.h"
#include "platform/runtime.h"
#include "tests/share_service/share_service.h"

using namespace qm;

namespace {

using qm::test::AcceptNextMessage;

template <typename W>
W* Find(QWidget& window, const char* name) {
  return window.findChild<W*>(QString::fromUtf8(name));
}


}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    // A stand-in URL opener on PATH that records what it was asked to open.
    QVERIFY(dir_.isValid());
    record_ = dir_.filePath("opened.txt");
    QFile opener(dir_.filePath("xdg-open"));
    QVERIFY(opener.open(QIODevice::WriteOnly));
    opener.write(QString("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '%1'\n").arg(record_).toUtf8());
    opener.close();
    opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", (dir_.path() + ":" + qgetenv("PATH")).toUtf8());
  }

  void startsWithTheStoredFormAndOpensTheHomeAddress() {
    QFile::remove(record_);
    MainWindow window([](int) {});
    QCOMPARE(window.windowTitle(), QString("Quillmere by Tobrin"));
    QCOMPARE(Find<QLabel>(window, "标签1")->text(), QString("网盘地址："));
    QCOMPARE(Find<QLineEdit>(window, "编辑框1")->text(), QString());
    QCOMPARE(Find<QPushButton>(window, "按钮1")->text(), QString("解析链接"));
    QCOMPARE(Find<QPlainTextEdit>(window, "编辑框2")->toPlainText(), QString("quillmere.example"));
    QCOMPARE(Find<QPushButton>(window, "按钮2")->text(), QString("下载"));
    QVERIFY(Find<QPushButton>(window, "按钮2")->isEnabled());
    QCOMPARE(Find<QPushButton>(window, "按钮3")->text(), QString("退出"));
    auto* bar = Find<QProgressBar>(window, "进度条1");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 10000);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(Find<QLineEdit>(window, "编辑框1")->geometry(), QRect(64, 8, 240, 32));
    QCOMPARE(Find<QPushButton>(window, "按钮2")->geometry(), QRect(312, 43, 80, 133));
    QVERIFY(window.findChild<QTimer*>(QString::fromUtf8("时钟1")) != nullptr);
    const auto opened = [this] {
      QFile record(record_);
      return record.open(QIODevice::ReadOnly) ? QString(record.readAll()) : QString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(opened(), QString("https://quillmere.example/\n"), 5000);
  }

  void sizeAndPercentLabelsAreVisibleSideBySide() {
    MainWindow window([](int) {});
    window.show();
    const QRect size = Find<QLabel>(window, "透明标签1")->geometry();
    const QRect percent = Find<QLabel>(window, "透明标签2")->geometry();
    QVERIFY(!size.intersects(percent));
    QVERIFY(window.rect().contains(size));
    QVERIFY(window.rect().contains(percent));
    for (const char* name : {"进度条1", "按钮3", "编辑框2"}) {
      QWidget* other = window.findChild<QWidget*>(QString::fromUtf8(name));
      QVERIFY2(!size.intersects(other->geometry()) && !percent.intersects(other->geometry()), name);
    }
  }

  void downloadButtonFollowsTheOutputBoxWithinOneTick() {
    MainWindow window([](int) {});
    auto* box = Find<QPlainTextEdit>(window, "编辑框2");
    auto* button = Find<QPushButton>(window, "按钮2");
    box->clear();
    QTRY_VERIFY_WITH_TIMEOUT(!button->isEnabled(), 1500);
    box->setPlainText("x");
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 1500);
    window.SetText(Control::编辑框2, "");
    QTRY_VERIFY_WITH_TIMEOUT(!button->isEnabled(), 1500);
  }

  void resolveButtonPassesTheShareAddressUnchanged() {
    MainWindow window([](int) {});
    window.show();
    // Nothing listens on port 1: the resolve fails at once and says so.
    Find<QLineEdit>(window, "编辑框1")->setText(QString::fromUtf8("  http://127.0.0.1:1/a 文 "));
    QStringList seen;
    AcceptNextMessage(&seen);
    QTest::mouseClick(Find<QPushButton>(window, "按钮1"), Qt::LeftButton);
    QCOMPARE(g_shareUrl, Cp936("  http://127.0.0.1:1/a 文 "));
    QCOMPARE(seen, QStringList({"信息：|解析失败"}));
  }

  void resolvingThroughTheWindowShowsTheDirectAddress() {
    test::ShareService service;
    const std::string share = service.Share({"setup.zip", "bytes"});
    MainWindow window([](int) {});
    window.show();
    QTest::keyClicks(Find<QLineEdit>(window, "编辑框1"), QString::fromStdString(share));
    QTest::mouseClick(Find<QPushButton>(window, "按钮1"), Qt::LeftButton);
    QCOMPARE(Find<QPlainTextEdit>(window, "编辑框2")->toPlainText(),
             QString::fromStdString(service.DirectAddress(share)));
    QCOMPARE(g_fileName, Text("setup.zip"));
  }

  void progressPositionIsStoredClampedAndDrawnWithinTheRange() {
    MainWindow window([](int) {});
    auto* bar = Find<QProgressBar>(window, "进度条1");
    const struct {
      int written, stored, drawn;
    } cases[] = {{5023, 5023, 5023}, {15000, 15000, 10000}, {40000, 32767, 10000}, {-5, 0, 0}};
    for (const auto& c : cases) {
      window.SetPosition(Control::进度条1, c.written);
      QCOMPARE(window.GetPosition(Control::进度条1), c.stored);
      QCOMPARE(bar->value(), c.drawn);
    }
  }

  void textsCrossTheWindowInCodePage936() {
    MainWindow window([](int) {});
    window.SetText(Control::透明标签1, Cp936("Size：1.5 MB"));
    QCOMPARE(Find<QLabel>(window, "透明标签1")->text(), QString("Size：1.5 MB"));
    Find<QLineEdit>(window, "编辑框1")->setText(QString::fromUtf8("文件"));
    QCOMPARE(window.GetText(Control::编辑框1), Text("\xCE\xC4\xBC\xFE"));
  }

  void messagesAreModalWithOneOkButton() {
    MainWindow window([](int) {});
    QStringList seen;
    AcceptNextMessage(&seen);
    window.ShowMessage(Cp936("解析失败"));
    AcceptNextMessage(&seen);
    window.ShowMessage(Cp936("恭喜您，本次更新完毕！"), Cp936("更新完毕"));
    QCOMPARE(seen, QStringList({"信息：|解析失败", "更新完毕|恭喜您，本次更新完毕！"}));
  }

  void exitButtonAndClosingEndTheProgramWithZeroAfterTheCleanup() {
    for (const char* mode : {"--click-exit", "--close-window"}) {
      QProcess child;
      child.start(QCoreApplication::applicationFilePath(), {mode});
      QVERIFY(child.waitForFinished(30000));
      QCOMPARE(child.exitStatus(), QProcess::NormalExit);
      QCOMPARE(child.exitCode(), 0);
      QVERIFY2(child.readAllStandardOutput().contains("cleanup ran"), mode);
    }
  }

 private:
  QTemporaryDir dir_;
  QString record_;
};

int main(int argc, char** argv) {
  // Child modes: the whole program as main() runs it, ended by the exit
  // button or by closing the window.
  if (argc > 1 && (std::string(argv[1]) == "--click-exit" || std::string(argv[1]) == "--close-window")) {
    const bool click = std::string(argv[1]) == "--click-exit";
    qputenv("PATH", "/nonexistent");  // no opener needed here
    RegisterCleanup([] {
      std::puts(g_shareUrl.empty() ? "cleanup ran" : "cleanup saw state");
      std::fflush(stdout);
    });
    int one = 1;
    return RunQuillmere(one, argv, [click](MainWindow& window) {
      QTimer::singleShot(100, [&window, click] {
        if (click) {
          QTest::mouseClick(window.Widget(Control::按钮3), Qt::LeftButton);
        } else {
          window.close();
        }
      });
    });
  }
  QApplication app(argc, argv);
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
