// One synchronous HTTP request with the browser-like default headers the
// service expects, an optional proxy with its credential, time-outs, a switch
// for redirects, and the cookies the response set.
#pragma once

#include <cstdint>

#include "platform/http_request.h"
#include "platform/text.h"

namespace qm {

// Method indices.
inline constexpr std::int32_t kMethodGet = 0;
inline constexpr std::int32_t kMethodPost = 1;
inline constexpr std::int32_t kMethodHead = 2;
inline constexpr std::int32_t kMethodPut = 3;
inline constexpr std::int32_t kMethodOptions = 4;
inline constexpr std::int32_t kMethodDelete = 5;
inline constexpr std::int32_t kMethodTrace = 6;
inline constexpr std::int32_t kMethodConnect = 7;

// Returns the response body; an empty body, empty `responseHeaders` or a
// `status` of 0 tell of a failed request. Nothing is ever reported otherwise.
//
// In/out and out parameters are the caller's variables; nullptr omits them.
// - `method`: an index above; any other value means GET.
// - `cookies` (in/out): given, it is sent as the "Cookie" header even when
//   empty, and with `updateCookies` it is replaced by the merged cookie text.
// - `receivedCookies` (out): name=value of every "Set-Cookie" line, joined
//   by "; " (the merged text when merging ran).
// - `headers` (in/out): extra header lines joined by "\r\n"; the default
//   headers the caller lacks are appended to the variable.
// - `responseHeaders` (out): the response's header lines, each ended by "\r\n".
// - `status` (out): the HTTP status, 0 when none was received.
// - `noRedirect`: leaves a redirect unfollowed (its "Location" is then in
//   `responseHeaders`).
// - `byteBody`: when not empty, sent instead of `textBody`.
// - `proxy`: "host:port" of a proxy to go through; `proxyUser` and
//   `proxyPassword` give it a Basic credential while `proxyAuthMode` is 1.
// - `timeoutSeconds`: -1 leaves the request object's time-outs alone; 1 or
//   more is that many seconds for each phase; anything else is 15 seconds.
// - `requestObject`: the request is made on this object instead of a new one;
//   it stays usable by the caller.
// Certificates of https servers are always verified.
Bytes WebRequest(const Text& url,
                 std::int32_t method = kMethodGet,
                 const Text& textBody = {},
                 Text* cookies = nullptr,
                 Text* receivedCookies = nullptr,
                 Text* headers = nullptr,
                 Text* responseHeaders = nullptr,
                 std::int32_t* status = nullptr,
                 bool noRedirect = false,
                 const Bytes& byteBody = {},
                 const Text& proxy = {},
                 std::int32_t timeoutSeconds = 0,
                 const Text& proxyUser = {},
                 const Text& proxyPassword = {},
                 std::int32_t proxyAuthMode = 1,
                 HttpRequestRef requestObject = nullptr,
                 bool updateCookies = true);

// The bytes before the first ":" of a header line, trimmed; empty without ":".
Text HeaderLineName(const Text& line);
// The bytes after the first ":" of a header line, trimmed; empty without ":".
Text HeaderLineValue(const Text& line);

// Base64 with the standard alphabet and "=" padding, no line breaks.
Text Base64Encode(const Bytes& bytes);

}  // namespace qm
