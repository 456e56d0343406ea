#include "platform/automation.h"

namespace qm {
namespace {

thread_local int depth = 0;

}  // namespace

void CoInitialize() { ++depth; }

void CoUninitialize() {
  if (depth > 0) --depth;
}

int AutomationDepth() { return depth; }

}  // namespace qm
