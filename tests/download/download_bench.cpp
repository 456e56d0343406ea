// The download command's work for one address, timed: DownloadToMemory with
// its size label and progress going to the real window (offscreen), then the
// save. Run by scripts/bench against a local server.
//
//   download_bench URL OUTPUT [--sync]
//
// The save is the download command's (no flush to disk); --sync flushes the
// file to the disk before the rename, to measure what that would cost.
#include <sys/resource.h>

#include <QApplication>
#include <QLabel>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/main_window.h"
#include "download/downloader.h"
#include "download/progress.h"
#include "platform/busy.h"
#include "platform/codepage.h"
#include "platform/runtime.h"

namespace {

// The window, with messages printed instead of waiting for a click.
class BenchWindow : public qm::MainWindow {
 public:
  BenchWindow() : MainWindow([](int) {}) {}
  using MainWindow::ShowMessage;
  void ShowMessage(const qm::Text& message, const qm::Text& caption) override {
    std::fprintf(stderr, "message: %s | %s\n", qm::Cp936ToUtf8(caption).c_str(), qm::Cp936ToUtf8(message).c_str());
  }
};

double ResidentMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s URL OUTPUT [--sync]\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1];
  const qm::Text output = qm::Utf8ToCp936(argv[2]);
  const bool sync = argc > 3 && std::string(argv[3]) == "--sync";
  setenv("PATH", "/nonexistent", 1);  // the window opens no web page here

  QApplication app(argc, argv);
  BenchWindow window;
  window.show();
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  // As the window does around a download: repaint, take no input.
  qm::SetBusyPump([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
  const double baseline = ResidentMegabytes();

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  bool complete = false;
  const qm::Bytes body = qm::DownloadToMemory(
      url, window,
      [&window](std::int32_t total, std::int32_t received, std::int32_t elapsed, std::int32_t sinceStart) {
        qm::ShowProgress(window, total, received, elapsed, sinceStart);
      },
      std::nullopt, &complete);
  const auto downloaded = Clock::now();
  const bool saved = complete && qm::SaveBytesAtomically(output, body, sync);
  const auto end = Clock::now();
  qm::SetBusyPump({});

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::printf("complete %d\nsaved %d\n", complete ? 1 : 0, saved ? 1 : 0);
  std::printf("body_mb %.1f\n", static_cast<double>(body.size()) / 1048576.0);
  std::printf("download_ms %.1f\nsave_ms %.1f\ntotal_ms %.1f\n", ms(downloaded - start), ms(end - downloaded),
              ms(end - start));
  std::printf("baseline_rss_mb %.1f\npeak_rss_mb %.1f\n", baseline, static_cast<double>(usage.ru_maxrss) / 1024.0);
  std::printf("size_label %s\npercent_label %s\n",
              window.findChild<QLabel*>(QString::fromUtf8("透明标签1"))->text().toStdString().c_str(),
              window.findChild<QLabel*>(QString::fromUtf8("透明标签2"))->text().toStdString().c_str());
  return saved ? 0 : 1;
}
