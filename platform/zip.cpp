#include "platform/zip.h"

namespace qm {

int ZipDecompress(const Text& /*archivePath*/, const Text& /*destinationFolder*/) { return 0; }

}  // namespace qm
