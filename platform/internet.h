// The Internet service of the downloader: a session opened with an agent name
// and an access type, addresses opened under it with extra header text, and
// the response body pulled in small reads until a read returns 0.
//
// Built on libcurl. Every wait calls PumpWhileBusy() at least every ~50 ms so
// that the window repaints; nothing here handles user input. HTTPS
// certificates are verified. A body sent with gzip or deflate content coding
// is decoded, so reads give the bytes of the file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/text.h"

namespace qm {

// Connection flags.
inline constexpr std::uint32_t kConnectionLan = 0x02;
inline constexpr std::uint32_t kConnectionProxy = 0x04;

// The connection flags of this machine: always LAN; PROXY when a proxy is
// configured (http_proxy, https_proxy or all_proxy in the environment).
std::uint32_t InternetConnectionFlags();

// Access types.
inline constexpr int kAccessPreconfig = 0;                 // the configured proxy
inline constexpr int kAccessDirect = 1;                    // no proxy
inline constexpr int kAccessPreconfigNoAutoProxy = 4;      // the configured proxy, no discovery

// Flags of OpenUrl. There is no cache: every request goes to the server and
// nothing is kept, whatever the flags say.
inline constexpr std::uint32_t kFlagPragmaNoCache = 0x00000100;
inline constexpr std::uint32_t kFlagNoCacheWrite = 0x04000000;
inline constexpr std::uint32_t kFlagReload = 0x80000000;

// Bounds of a transfer. `connect`: the time to set up a connection (TLS
// included). `stall`: the longest wait for the next byte, for the response
// head as for the body; when it passes, the transfer fails.
struct InternetTimeouts {
  std::chrono::milliseconds connect{30000};
  std::chrono::milliseconds stall{60000};
};

// Replaces the bounds for the transfers opened from now on and returns the
// bounds in force before (tests shorten them).
InternetTimeouts SetInternetTimeouts(const InternetTimeouts& timeouts);

// Why an operation failed, for callers and tests that need to tell.
enum class InternetError {
  kNone,
  kBadAddress,      // empty, malformed, or not http/https
  kCannotConnect,   // name not resolved, refused, connect time-out, TLS failure
  kTimedOut,        // no byte within the stall bound
  kBadContent,      // a content coding that cannot be decoded
  kTransferFailed,  // the connection broke, or the body is shorter than announced
  kStopped,         // the user is leaving (RequestStop)
};

class InternetRequest;

class InternetSession {
 public:
  // Null when the session cannot be made.
  static std::unique_ptr<InternetSession> Open(const Text& agent, int accessType);
  ~InternetSession();
  InternetSession(const InternetSession&) = delete;
  InternetSession& operator=(const InternetSession&) = delete;

  // Opens `url` with `headers` (header lines separated by CR LF; they replace
  // the lines of the same name that would be sent otherwise) and returns when
  // the head of the final response has arrived (redirects are followed).
  // Null when the address cannot be opened.
  std::unique_ptr<InternetRequest> OpenUrl(const Text& url, const Text& headers, std::uint32_t flags,
                                           InternetError* why = nullptr);

 private:
  InternetSession(Text agent, int accessType);
  Text agent_;
  int accessType_;
};

class InternetRequest {
 public:
  ~InternetRequest();
  InternetRequest(const InternetRequest&) = delete;
  InternetRequest& operator=(const InternetRequest&) = delete;

  // The status code of the final response.
  int Status() const;
  // The Content-Length of the response, when it has one. With a content
  // coding it counts the coded bytes (see CodedBytesRead).
  std::optional<std::int64_t> ContentLength() const;

  // Reads `capacity` bytes of the body into `buffer`, fewer only where the
  // body ends: true with `count` 1..capacity, or with `count` 0 at the end of
  // the body; false when the transfer failed (`why` says how).
  bool Read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count, InternetError* why = nullptr);

  // The bytes of the body as they came over the wire, up to the last read:
  // with a content coding the coded bytes that the reads so far were decoded
  // from (at the end: all of them, which is what Content-Length counts);
  // otherwise the sum of the counts read.
  std::int64_t CodedBytesRead() const;

 private:
  friend class InternetSession;
  struct Transfer;
  explicit InternetRequest(std::unique_ptr<Transfer> transfer);
  std::unique_ptr<Transfer> transfer_;
};

}  // namespace qm
