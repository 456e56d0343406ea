// Hints about memory, which the system may take or ignore.
#pragma once

#include <cstddef>

namespace qm {

// Asks for large pages behind a big buffer that is about to be filled (a
// downloaded body): one page fault per 2 MB instead of per 4 KB, which on
// some virtual machines is most of the cost of receiving a large file.
// Buffers below a few megabytes are left alone.
void PreferLargePages(void* data, std::size_t size);

}  // namespace qm
