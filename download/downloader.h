// The streaming downloader: fetches one address into memory in small pieces,
// showing the size received so far and reporting progress after every piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/form.h"
#include "platform/text.h"

namespace qm {

// Called after every piece with the announced body length (0: none), the
// bytes received so far (low 32 bits), the milliseconds since the first read
// (never 0) and the bytes received minus the start offset.
using ProgressCallback = std::function<void(std::int32_t totalLength, std::int32_t received,
                                            std::int32_t elapsedMs, std::int32_t receivedSinceStart)>;

// Where the pieces of a body go as they arrive.
class BodySink {
 public:
  virtual ~BodySink() = default;
  // The length the server announced, before the first piece (only when it
  // announced one).
  virtual void Expect(std::int64_t /*length*/) {}
  // False stops the download: the place cannot take more.
  virtual bool Append(const std::uint8_t* data, std::size_t size) = 0;
};

enum class DownloadResult {
  kComplete,    // the whole body went into the sink
  kFailed,      // the transfer failed; the user has been told
  kSinkFailed,  // the sink refused a piece; nothing has been told
};

// The download itself, the body going piece by piece into `sink`; the size
// label, the progress, the messages and the rules are DownloadToMemory's.
DownloadResult DownloadInto(const Text& url, Form& form, const ProgressCallback& progressCallback,
                            std::optional<std::int32_t> startOffset, BodySink& sink);

// Fetches `url` and returns its body. With `startOffset` the server is asked
// for the body from that byte on. The size label 透明标签1 of `form` shows the
// megabytes received after every piece. Failures are told to the user through
// `form` and give the empty block; `complete` (when given) is true only when
// the whole body arrived, so an empty body can be told from a failure.
//
// A status of 400 or above is a failure. A body sent with a content coding is
// returned decoded; the progress counts (`received` against `totalLength`) are
// then the coded bytes, which is what the Content-Length announces.
Bytes DownloadToMemory(const Text& url, Form& form, const ProgressCallback& progressCallback,
                       std::optional<std::int32_t> startOffset = std::nullopt, bool* complete = nullptr);

}  // namespace qm
