#include "http/web_request.h"

#include <array>
#include <limits>
#include <string_view>

#include "http/cookies.h"
#include "platform/automation.h"
#include "resolve/text_routines.h"

namespace qm {
namespace {

constexpr std::array<std::string_view, 8> kMethodNames = {"GET",     "POST",   "HEAD",  "PUT",
                                                          "OPTIONS", "DELETE", "TRACE", "CONNECT"};

constexpr std::int32_t kDefaultTimeoutMs = 15000;

constexpr std::string_view kUserAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// Appends the default headers that `headers` lacks. The presence tests are
// plain case-sensitive searches in the whole text, as callers rely on.
void CompleteHeaders(Text& headers, const Text& url, std::int32_t method) {
  if (headers.empty()) {
    headers = "Accept: */*";
  } else if (Find(headers, "Accept:") < 0) {
    headers += "\r\nAccept: */*";
  }
  if (Find(headers, "Referer:") < 0) headers += "\r\nReferer: " + url;
  if (Find(headers, "Accept-Language:") < 0) headers += "\r\nAccept-Language: zh-cn";
  if (Find(headers, "User-Agent:") < 0) headers += "\r\nUser-Agent: " + Text(kUserAgent);
  if (method == kMethodPost && Find(headers, "Content-Type:") < 0) {
    headers += "\r\nContent-Type: application/x-www-form-urlencoded";
  }
}

void SetHeaderLine(HttpRequest& request, const Text& line) {
  request.SetRequestHeader(HeaderLineName(line), HeaderLineValue(line));
}

// name=value of every "Set-Cookie" line, joined by "; ".
Text CookiesSetBy(const Text& responseHeaders) {
  static const Text kMarker = "Set-Cookie:";
  Text cookies;
  for (const Text& line : Split(responseHeaders, "\r\n")) {
    if (TextBefore(line, ": ") != "Set-Cookie") continue;
    const Text entry = Find(line, ";") > 0 ? TextBetween(line, kMarker, ";")
                                            : Replace(line, kMarker, "", /*ignoreCase=*/true);
    cookies += Trim(entry);
    cookies += "; ";
  }
  return DropLastChars(cookies, 2);
}

}  // namespace

Text HeaderLineName(const Text& line) {
  const int colon = Find(line, ":");
  return colon < 0 ? Text() : Trim(Left(line, colon - 1));
}

Text HeaderLineValue(const Text& line) {
  const int colon = Find(line, ":");
  return colon < 0 ? Text() : Trim(Mid(line, colon + 1));
}

Text Base64Encode(const Bytes& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Text out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (n > 1) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    if (n > 2) group |= bytes[i + 2];
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += n > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += n > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  return out;
}

Bytes WebRequest(const Text& url, std::int32_t method, const Text& textBody, Text* cookies,
                 Text* receivedCookies, Text* headers, Text* responseHeaders, std::int32_t* status,
                 bool noRedirect, const Bytes& byteBody, const Text& proxy, std::int32_t timeoutSeconds,
                 const Text& proxyUser, const Text& proxyPassword, std::int32_t proxyAuthMode,
                 HttpRequestRef requestObject, bool updateCookies) {
  const AutomationScope automation;
  if (method < 0 || method >= static_cast<std::int32_t>(kMethodNames.size())) method = kMethodGet;
  const Text methodName(kMethodNames[static_cast<std::size_t>(method)]);

  const HttpRequestRef request = requestObject ? requestObject : CreateHttpRequest();
  if (!request) return {};

  if (timeoutSeconds != -1) {
    // Computed wide: a count of seconds beyond the 32-bit millisecond range
    // is held at its end rather than wrapping.
    const std::int64_t ms = timeoutSeconds >= 1
                                ? std::min<std::int64_t>(std::int64_t{timeoutSeconds} * 1000,
                                                         std::numeric_limits<std::int32_t>::max())
                                : kDefaultTimeoutMs;
    const auto t = static_cast<std::int32_t>(ms);
    request->SetTimeouts(t, t, t, t);
  }

  if (!proxy.empty()) {
    request->SetProxy(kProxyNamed, proxy);
    if (!proxyUser.empty() && proxyAuthMode == 1) {
      request->SetRequestHeader("Proxy-Authorization",
                                "Basic " + Base64Encode(BytesFromText(proxyUser + ":" + proxyPassword)));
    }
  }

  request->Open(methodName, url, /*async=*/false);
  if (noRedirect) request->SetOption(kOptionRedirects, 0);
  // Certificate errors are deliberately not ignored: that would let anyone
  // on the network answer in the service's name.

  Text scratchHeaders;
  Text& requestHeaders = headers ? *headers : scratchHeaders;
  CompleteHeaders(requestHeaders, url, method);

  if (cookies) request->SetRequestHeader("Cookie", *cookies);

  if (Find(requestHeaders, "\r\n") < 0) {
    SetHeaderLine(*request, requestHeaders);
  } else {
    for (const Text& line : Split(requestHeaders, "\r\n")) {
      if (!line.empty()) SetHeaderLine(*request, line);
    }
  }

  if (!byteBody.empty()) {
    request->Send(byteBody);
  } else {
    request->Send(textBody);
  }

  Bytes body = request->ResponseBody();
  const Text allHeaders = request->GetAllResponseHeaders();
  const std::int32_t code = request->Status();
  if (responseHeaders) *responseHeaders = allHeaders;
  if (status) *status = code;

  Text received = CookiesSetBy(allHeaders);
  if (updateCookies && cookies) received = MergeCookies(*cookies, received);
  if (receivedCookies) *receivedCookies = received;
  return body;
}

}  // namespace qm
