// Automation set-up of a thread. There is nothing to set up here, but users of
// the request, regex and script objects still pair their calls, and the depth
// lets tests see that every path is balanced.
#pragma once

namespace qm {

void CoInitialize();
void CoUninitialize();

// Calls of CoInitialize on this thread not yet balanced by CoUninitialize.
int AutomationDepth();

// Pairs the two calls for one scope.
class AutomationScope {
 public:
  AutomationScope() { CoInitialize(); }
  ~AutomationScope() { CoUninitialize(); }
  AutomationScope(const AutomationScope&) = delete;
  AutomationScope& operator=(const AutomationScope&) = delete;
};

}  // namespace qm
