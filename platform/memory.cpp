#include "platform/memory.h"

#include <cstdint>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace qm {

void PreferLargePages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
  if (data == nullptr || size < 2 * kLargePage) return;
  // Only whole large pages inside the buffer; the advice is a hint, so a
  // refusal changes nothing.
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace qm
