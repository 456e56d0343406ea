// How long one resolve takes against the local share service on loopback:
// wall time, and the resolving thread's own CPU time (the service's threads
// excluded). Prints medians; checks nothing.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/program_state.h"
#include "platform/codepage.h"
#include "resolve/resolver.h"
#include "tests/share_service/share_service.h"
#include "tests/support/recording_form.h"

namespace {

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 100;
  qm::test::ShareService service;
  const qm::Text share = qm::Utf8ToCp936(service.Share({"setup.zip", "bytes"}));
  qm::test::RecordingForm form;
  std::vector<double> wall, cpu;
  for (int i = 0; i < runs + 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuMs();
    qm::ResolveShareLink(share, form);
    const double cpuMs = ThreadCpuMs() - cpuStart;
    const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (qm::g_directUrl.empty()) {
      std::fprintf(stderr, "resolve failed\n");
      return 1;
    }
    if (i >= 5) {  // the first runs warm up caches and the script's bytecode
      wall.push_back(wallMs);
      cpu.push_back(cpuMs);
    }
  }
  std::printf("resolve_wall_ms %.2f\n", Median(wall));
  std::printf("resolve_cpu_ms %.2f\n", Median(cpu));
  return 0;
}
