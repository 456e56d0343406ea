#include "resolve/resolver.h"

namespace qm {

void ResolveShareLink(const Text& /*shareUrl*/, Form& /*form*/) {}

}  // namespace qm
