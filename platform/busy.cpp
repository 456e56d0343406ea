#include "platform/busy.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <utility>

#ifdef __linux__
#include <time.h>
#endif

namespace qm {
namespace {

struct Pump {
  std::function<void()> routine;
  std::int64_t lastMs = std::numeric_limits<std::int64_t>::min() / 2;
  bool running = false;
};

Pump& ThePump() {
  static Pump pump;
  return pump;
}

// Called after every 1 KB of a download, for a pump that runs every 50 ms: a
// clock of a few milliseconds' resolution is enough, and costs far less.
std::int64_t NowMs() {
#if defined(__linux__) && defined(CLOCK_MONOTONIC_COARSE)
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#else
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
#endif
}

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop must be safe in a signal handler");

}  // namespace

void RequestStop() { g_stopRequested.store(true, std::memory_order_relaxed); }

bool StopRequested() { return g_stopRequested.load(std::memory_order_relaxed); }

void ClearStopRequest() { g_stopRequested.store(false, std::memory_order_relaxed); }

void SetBusyPump(std::function<void()> routine) { ThePump().routine = std::move(routine); }

void PumpWhileBusy() {
  Pump& pump = ThePump();
  if (!pump.routine || pump.running) return;
  const std::int64_t now = NowMs();
  if (now - pump.lastMs < kPumpInterval.count()) return;
  pump.lastMs = now;
  pump.running = true;  // a pump that waits on the network itself must not recurse
  pump.routine();
  pump.running = false;
}

}  // namespace qm
