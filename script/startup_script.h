// The script that every JSON object's engine runs first: a member counter,
// json2.js (compiled in from the system's copy at build time) and two
// additions on Object.prototype.
#pragma once

#include "platform/text.h"

namespace qm {

const Text& StartupScript();

}  // namespace qm
