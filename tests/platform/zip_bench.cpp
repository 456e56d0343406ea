// Unpacks one archive with the ZIP component, for scripts/bench-zip:
//   zip_bench ARCHIVE DESTINATION
// The exit status is 0 when every entry was unpacked.
#include <cstdio>

#include "platform/codepage.h"
#include "platform/zip.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zip_bench ARCHIVE DESTINATION\n");
    return 2;
  }
  const int result = qm::ZipDecompress(qm::Utf8ToCp936(argv[1]), qm::Utf8ToCp936(argv[2]));
  return result == 1 ? 0 : 1;
}
