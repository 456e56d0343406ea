// The download command's work for one address, timed: the download with its
// size label and progress going to the real window (offscreen), straight into
// the new file, and the rename into place. Run by scripts/bench against a
// local server.
//
//   download_bench URL OUTPUT
#include <sys/resource.h>

#include <QApplication>
#include <QLabel>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/main_window.h"
#include "app/program_state.h"
#include "download/download_command.h"
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
    std::fprintf(stderr, "usage: %s URL OUTPUT\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1];
  const qm::Text output = qm::Utf8ToCp936(argv[2]);
  setenv("PATH", "/nonexistent", 1);  // the window opens no web page here

  QApplication app(argc, argv);
  BenchWindow window;
  window.show();
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  const double baseline = ResidentMegabytes();

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  qm::g_directUrl = url;
  bool saved = false;
  // As the window runs its download command: repainting, taking no input.
  window.RunBusy([&] { saved = qm::FetchAndSave(window, output); });
  const auto end = Clock::now();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::printf("saved %d\n", saved ? 1 : 0);
  std::printf("total_ms %.1f\n", ms(end - start));
  std::printf("baseline_rss_mb %.1f\npeak_rss_mb %.1f\n", baseline, static_cast<double>(usage.ru_maxrss) / 1024.0);
  std::printf("size_label %s\npercent_label %s\n",
              window.findChild<QLabel*>(QString::fromUtf8("透明标签1"))->text().toStdString().c_str(),
              window.findChild<QLabel*>(QString::fromUtf8("透明标签2"))->text().toStdString().c_str());
  return saved ? 0 : 1;
}
