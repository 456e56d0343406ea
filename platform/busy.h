// Work that blocks the window thread (a request, a download) calls
// PumpWhileBusy() between waits, so that the window layer can repaint what
// changed. The pump runs at most once per interval; it must not handle user
// input, so that one operation still runs at a time.
#pragma once

#include <chrono>
#include <functional>

namespace qm {

inline constexpr std::chrono::milliseconds kPumpInterval{50};

// Installs the pump (an empty function removes it).
void SetBusyPump(std::function<void()> pump);

// Runs the pump when the last run is at least kPumpInterval ago.
void PumpWhileBusy();

// Asks the work under way to stop, because the user is leaving (the window is
// being closed, Ctrl-C in a terminal): every wait on the network then ends at
// once as a failure, so the work unwinds through its failure paths and
// leaves nothing half-written. Safe to call from a signal handler.
void RequestStop();
bool StopRequested();
void ClearStopRequest();

}  // namespace qm
