#include "platform/busy.h"

#include <utility>

namespace qm {
namespace {

struct Pump {
  std::function<void()> routine;
  std::chrono::steady_clock::time_point last{};
  bool running = false;
};

Pump& ThePump() {
  static Pump pump;
  return pump;
}

}  // namespace

void SetBusyPump(std::function<void()> routine) { ThePump().routine = std::move(routine); }

void PumpWhileBusy() {
  Pump& pump = ThePump();
  if (!pump.routine || pump.running) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - pump.last < kPumpInterval) return;
  pump.last = now;
  pump.running = true;  // a pump that waits on the network itself must not recurse
  pump.routine();
  pump.running = false;
}

}  // namespace qm
