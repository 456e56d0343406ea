// Compressed bodies for HTTP tests: what a server sends with a content coding.
#pragma once

#include <string>
#include <string_view>

namespace qm::test {

enum class Compression {
  kGzip,        // "gzip"
  kZlib,        // "deflate" as it should be: a zlib stream
  kRawDeflate,  // "deflate" as some servers send it: bare deflate data
};

std::string Compress(std::string_view data, Compression format);

}  // namespace qm::test
