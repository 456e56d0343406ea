#include "tests/support/compression.h"

#include <zlib.h>

#include <memory>
#include <stdexcept>

namespace qm::test {

std::string Compress(std::string_view data, Compression format) {
  const int windowBits = format == Compression::kGzip ? 15 + 16 : format == Compression::kZlib ? 15 : -15;
  struct Ender {
    void operator()(z_stream* z) const {
      deflateEnd(z);
      delete z;
    }
  };
  std::unique_ptr<z_stream, Ender> z(new z_stream{});
  if (deflateInit2(z.get(), Z_BEST_SPEED, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete z.release();
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(z.get(), static_cast<uLong>(data.size())) + 64, '\0');
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z->avail_in = static_cast<uInt>(data.size());
  z->next_out = reinterpret_cast<Bytef*>(out.data());
  z->avail_out = static_cast<uInt>(out.size());
  if (deflate(z.get(), Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z->total_out);
  return out;
}

}  // namespace qm::test
