// The real window during a slow download, on the offscreen platform. The
// test runs from a scratch folder (a link to this program), which is then
// the run directory where the download is saved.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "app/main_window.h"
#include "app/program_state.h"
#include "platform/busy.h"
#include "platform/codepage.h"
#include "tests/support/files.h"
#include "tests/support/message_boxes.h"
#include "platform/runtime.h"
#include "tests/support/loopback_server.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

using qm::test::AcceptNextMessage;
using qm::test::ReadFile;

constexpr const char* kInScratch = "--in-scratch";

template <typename W>
W* Find(QWidget& window, const char* name) {
  return window.findChild<W*>(QString::fromUtf8(name));
}

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
};



}  // namespace

class DownloadWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { qputenv("PATH", "/nonexistent"); }  // no URL opener at start-up

  void barAndLabelsMoveAndTheWindowRepaintsWhileTheDownloadRuns() {
    std::string body(48 * 1024, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31);
    test::LoopbackServer server([&](const test::RecordedRequest&) {
      test::Reply r = test::Reply::Text(body, "application/octet-stream");
      r.pieceSize = 2048;
      r.pieceDelay = std::chrono::milliseconds(40);
      return r;
    });
    g_directUrl = server.Origin() + "/slow.bin";
    g_fileName = "slow.bin";
    g_shareUrl.clear();

    MainWindow window([](int) {});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* bar = Find<QProgressBar>(window, "进度条1");
    auto* size = Find<QLabel>(window, "透明标签1");
    auto* percent = Find<QLabel>(window, "透明标签2");
    auto* download = Find<QPushButton>(window, "按钮2");
    Find<QLineEdit>(window, "编辑框1")->setText("https://share.example/never");
    QVERIFY(download->isEnabled());

    PaintCounter painted;
    for (QWidget* w : std::initializer_list<QWidget*>{bar, size, percent}) w->installEventFilter(&painted);

    // Samples what the window shows while the download blocks the window
    // thread, and clicks both buttons once half-way.
    std::set<int> bars;
    std::set<QString> sizes, percents;
    bool clicked = false;
    int paintsAtClick = 0;
    QTimer sampler;
    sampler.setInterval(30);
    connect(&sampler, &QTimer::timeout, [&] {
      bars.insert(bar->value());
      sizes.insert(size->text());
      percents.insert(percent->text());
      if (!clicked && bar->value() > 0 && bar->value() < 10000) {
        clicked = true;
        paintsAtClick = painted.paints;
        QTest::mouseClick(download, Qt::LeftButton);
        QTest::mouseClick(Find<QPushButton>(window, "按钮1"), Qt::LeftButton);
      }
    });
    sampler.start();
    QStringList messages;
    AcceptNextMessage(&messages);
    const int paintsBefore = painted.paints;
    QTest::mouseClick(download, Qt::LeftButton);  // returns when the download and its message are done
    sampler.stop();

    // One download, one message, the file saved in the run directory.
    QCOMPARE(server.Requests().size(), std::size_t{1});
    QCOMPARE(messages, QStringList{"更新完毕|恭喜您，本次更新完毕！"});
    QVERIFY(g_shareUrl.empty());  // the resolve click did nothing
    QCOMPARE(ReadFile(fs::path(Cp936ToUtf8(RunDirectory())) / "slow.bin"), body);

    // The bar and both labels showed values between start and end, and were painted meanwhile.
    QVERIFY(clicked);
    int between = 0;
    for (int v : bars) between += (v > 0 && v < 10000) ? 1 : 0;
    QVERIFY2(between >= 3, qPrintable(QString::number(between)));
    QVERIFY(percents.size() >= 4);
    QVERIFY(sizes.size() >= 3);
    QVERIFY2(paintsAtClick - paintsBefore >= 3, qPrintable(QString::number(paintsAtClick - paintsBefore)));
    QCOMPARE(bar->value(), 10000);
    QCOMPARE(percent->text(), QString("进度：100%"));
    QCOMPARE(size->text(), QString("Size：0.05 MB"));
  }

  // A server may send a byte now and then for ever. Closing the window stops
  // the download: the window goes at once, no message follows, the earlier
  // file stays whole and no partial file is left behind.
  void closingDuringADownloadStopsItAndKeepsTheEarlierFile() {
    QApplication::setQuitOnLastWindowClosed(false);
    const fs::path runDirectory = fs::path(Cp936ToUtf8(RunDirectory()));
    const fs::path target = runDirectory / "keep.bin";
    test::WriteFile(target, "the earlier file");
    test::LoopbackServer server([&](const test::RecordedRequest&) {
      test::Reply r = test::Reply::Text(std::string(1 << 20, 'k'), "application/octet-stream");
      r.pieceSize = 1024;
      r.pieceDelay = std::chrono::milliseconds(100);  // about 100 s in all
      return r;
    });
    g_directUrl = server.Origin() + "/keep.bin";
    g_fileName = "keep.bin";

    MainWindow window([](int) {});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    bool boxSeen = false;
    QTimer watcher;
    watcher.setInterval(20);
    connect(&watcher, &QTimer::timeout, [&] {
      if (QApplication::activeModalWidget() != nullptr) {
        boxSeen = true;
        QApplication::activeModalWidget()->close();
      }
    });
    watcher.start();
    QTimer::singleShot(300, &window, [&window] { window.close(); });
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(Find<QPushButton>(window, "按钮2"), Qt::LeftButton);
    const qint64 elapsed = clock.elapsed();
    watcher.stop();

    QVERIFY(!window.isVisible());
    QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    QVERIFY(!boxSeen);
    QVERIFY(!StopRequested());  // the next run starts afresh
    QCOMPARE(ReadFile(target), std::string("the earlier file"));
    for (const auto& entry : fs::directory_iterator(runDirectory)) {
      QVERIFY2(!entry.path().filename().string().starts_with(".quillmere-"), entry.path().c_str());
    }
  }
};

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == kInScratch) {
    std::vector<char*> args{argv[0]};
    args.insert(args.end(), argv + 2, argv + argc);
    int count = static_cast<int>(args.size());
    QApplication app(count, args.data());
    DownloadWindowTest test;
    return QTest::qExec(&test, count, args.data());
  }
  // Run again from a scratch folder beside this program, through a hard link
  // (a copy when linking fails), so that the run directory is that folder.
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const fs::path scratch = self.parent_path() / ("download_window_scratch-" + std::to_string(::getpid()));
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  const fs::path linked = scratch / self.filename();
  std::error_code error;
  fs::create_hard_link(self, linked, error);
  if (error) fs::copy_file(self, linked);
  std::vector<std::string> items{linked.string(), kInScratch};
  items.insert(items.end(), argv + 1, argv + argc);
  std::vector<char*> childArgs;
  for (std::string& item : items) childArgs.push_back(item.data());
  childArgs.push_back(nullptr);
  pid_t pid = -1;
  int status = 1;
  if (posix_spawn(&pid, childArgs[0], nullptr, nullptr, childArgs.data(), environ) == 0) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  fs::remove_all(scratch);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

#include "download_window_test.moc"
