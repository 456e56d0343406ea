// The HTTP request object: one synchronous HTTP/1.1 exchange at a time, set up
// member by member (time-outs, proxy, headers, method and address, options),
// then sent. Every failure is silent and leaves the empty results: an empty
// body, empty response headers and status 0.
//
// Texts are code page 936 and cross to the wire as follows:
// - the address becomes UTF-8, and every byte of 0x80 or above, every control
//   byte and the space are percent-encoded; only http and https are taken;
// - header values become UTF-8; a header whose name is no token or whose name
//   or value holds a line break or a zero byte is refused (not sent);
// - a text body is sent as UTF-8, a byte body as it is;
// - response headers come back without the status line, each line as
//   received and ended by "\r\n" (the last one too), only those of the final
//   response when redirects were followed; a line that is valid UTF-8 is
//   converted to code page 936, any other line is kept byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/text.h"

namespace qm {

// Settings of SetProxy.
inline constexpr std::int32_t kProxyDefault = 0;  // direct, as nothing is configured
inline constexpr std::int32_t kProxyDirect = 1;
inline constexpr std::int32_t kProxyNamed = 2;

// Indices of Option that the object knows.
inline constexpr std::int32_t kOptionCertificateErrorsIgnored = 4;  // accepted, never honoured
inline constexpr std::int32_t kOptionRedirects = 6;                // 0: not followed

// Why the last Send gave the empty results; for tests and diagnostics only.
enum class HttpFailure {
  None,
  NotOpened,    // Send without Open, or Open with an empty method
  BadAddress,   // unparseable address, or a scheme other than http and https
  Resolve,      // unknown host
  Connect,      // refused or unreachable
  Timeout,      // a time-out ran out
  Certificate,  // the server's certificate was not trusted
  Proxy,        // the proxy failed or refused the tunnel
  Redirects,    // more redirects than the bound
  TooLarge,     // the answer's body or head was beyond its bound
  Stopped,      // the user is leaving (RequestStop)
  Transfer,     // any other failure on the way
};

class HttpRequest {
 public:
  virtual ~HttpRequest() = default;

  // Milliseconds for resolving the host, connecting, sending and receiving.
  // Resolving and connecting share one bound, their sum. Sending and
  // receiving bound each silence, not the whole exchange, so a slow but
  // steady answer is not cut off. A value of 0 or below stands for the
  // default (0, 60000, 30000, 30000); nothing ever waits without a bound.
  virtual void SetTimeouts(std::int32_t resolveMs, std::int32_t connectMs, std::int32_t sendMs,
                           std::int32_t receiveMs) = 0;
  // kProxyNamed with "host:port" uses that proxy; any other setting goes direct.
  // Proxy variables of the environment are never used.
  virtual void SetProxy(std::int32_t setting, const Text& server) = 0;
  // Headers go out in the order they were first set; setting a name again
  // (ASCII case ignored) replaces its value in place. Headers set since the
  // previous Send, before or after Open, belong to the next request. An empty
  // value sends the header with an empty value. "Proxy-Authorization" goes to
  // the proxy only; "Content-Length" is always the object's own.
  virtual void SetRequestHeader(const Text& name, const Text& value) = 0;
  // Prepares a request; the exchange is always synchronous, whatever `async`.
  virtual void Open(const Text& method, const Text& url, bool async) = 0;
  // The indexed "Option" property, written.
  virtual void SetOption(std::int32_t index, std::int32_t value) = 0;
  // Sends the prepared request and returns when the response is complete or
  // the exchange failed. The window is kept painted meanwhile.
  virtual void Send(const Text& body) = 0;
  virtual void Send(const Bytes& body) = 0;
  virtual Bytes ResponseBody() = 0;
  virtual Text GetAllResponseHeaders() = 0;
  virtual std::int32_t Status() = 0;

  virtual HttpFailure LastFailure() const { return HttpFailure::None; }
};

// Shared by every holder; the object lives while one holds it.
using HttpRequestRef = std::shared_ptr<HttpRequest>;

// Bounds of what one answer may hold in memory. The answers this system asks
// for are pages of kilobytes; a server sending without end must not take the
// memory. Beyond a bound the exchange fails (HttpFailure::TooLarge).
inline constexpr std::size_t kDefaultHttpBodyLimit = std::size_t{64} << 20;
inline constexpr std::size_t kHttpHeadLimit = std::size_t{256} << 10;

// Replaces the body bound for the exchanges sent from now on and returns the
// bound in force before (tests lower it).
std::size_t SetHttpBodyLimit(std::size_t bytes);

// A new request object, or nullptr when none can be created.
HttpRequestRef CreateHttpRequest();

// Replaces what CreateHttpRequest makes (an empty function restores the
// libcurl object), so that tests can hand out recording stand-ins or fail.
void SetHttpRequestFactory(std::function<HttpRequestRef()> factory);

}  // namespace qm
