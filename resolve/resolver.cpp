#include "resolve/resolver.h"

#include <algorithm>
#include <cstring>

#include "app/program_state.h"
#include "http/web_request.h"
#include "platform/codepage.h"
#include "resolve/text_routines.h"
#include "script/json_object.h"
#include "script/regex_object.h"

namespace qm {
namespace {

// Sent with the first two requests: the service serves its pages to browsers.
constexpr const char* kBrowserIdentity =
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/55.0.2883.87 Safari/537.36";

// The element marked ifr2 that carries the download frame; group 1 is the
// frame's path without its leading slash.
constexpr const char* kFramePattern = R"re(ifr2"\sname="[\s\S]*?"\ssrc="\/(.*?)")re";

// Four script assignments of single-quoted values in the frame page: the
// action, the file id, t and k of the form.
constexpr const char* kFormPattern = R"re(=\s'(.*?)';[\S\s]*?=\s'(.*?)'[\S\s]*?=\s'(.*?)'[\S\s]*?=\s'(.*?)')re";

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (IsAsciiAlpha(x) ? (x | 0x20) : x) == (IsAsciiAlpha(y) ? (y | 0x20) : y);
         });
}

// The body as a text: its bytes up to the first zero byte, unconverted.
Text BodyAsText(const Bytes& body) {
  const auto* bytes = reinterpret_cast<const char*>(body.data());
  return Text(bytes, strnlen(bytes, body.size()));
}

}  // namespace

Text RedirectTarget(const Text& responseHeaders) {
  // Lines are cut at every CR LF byte pair: the request object frames them
  // so, even after a stray byte of 0x80 or above that a text search would
  // take for the first half of a character.
  for (std::size_t at = 0; at < responseHeaders.size();) {
    std::size_t end = responseHeaders.find("\r\n", at);
    if (end == Text::npos) end = responseHeaders.size();
    const Text line = responseHeaders.substr(at, end - at);
    at = end + 2;
    const std::size_t colon = line.find(':');
    if (colon == Text::npos || !EqualsIgnoringAsciiCase(std::string_view(line).substr(0, colon), "Location")) {
      continue;
    }
    return Trim(line.substr(colon + 1));
  }
  return {};
}

Text ServiceOrigin(const Text& shareUrl) {
  const std::size_t schemeEnd = shareUrl.find("://");
  if (schemeEnd == Text::npos) return kDefaultServiceOrigin;
  const std::string_view scheme = std::string_view(shareUrl).substr(0, schemeEnd);
  if (!EqualsIgnoringAsciiCase(scheme, "http") && !EqualsIgnoringAsciiCase(scheme, "https")) {
    return kDefaultServiceOrigin;
  }
  const std::size_t hostStart = schemeEnd + 3;
  std::size_t hostEnd = shareUrl.find_first_of("/?#", hostStart);
  if (hostEnd == Text::npos) hostEnd = shareUrl.size();
  Text authority = shareUrl.substr(hostStart, hostEnd - hostStart);
  // Credentials in the share address are not carried to the other requests.
  if (const std::size_t at = authority.rfind('@'); at != Text::npos) authority.erase(0, at + 1);
  const bool clean = !authority.empty() && std::none_of(authority.begin(), authority.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == '\\' || static_cast<unsigned char>(c) >= 0x80;
  });
  if (!clean) return kDefaultServiceOrigin;
  return Text(scheme) + "://" + authority + "/";
}

void ResolveShareLink(const Text& shareUrl, Form& form) {
  static const Text kFileNameStart = Cp936("文件名字：</span>");
  static const Text kResolveFailed = Cp936("解析失败");

  RegexObject regex;
  JsonObject json;
  const Text origin = ServiceOrigin(shareUrl);

  Text headers = kBrowserIdentity;
  const Text sharePage = Utf8ToLocalText(WebRequest(shareUrl, kMethodGet, {}, nullptr, nullptr, &headers));
  g_fileName = TextBetween(sharePage, kFileNameStart, "<br>");

  regex.Compile(kFramePattern, sharePage);
  if (regex.GetMatchCount() <= 0) {
    form.ShowMessage(kResolveFailed);
    return;
  }
  const Text frameAddress = origin + regex.GetSubmatchText(1, 1);

  headers = kBrowserIdentity;
  const Text framePage = Utf8ToLocalText(WebRequest(frameAddress, kMethodGet, {}, nullptr, nullptr, &headers));
  regex.Compile(kFormPattern, framePage);
  const Text action = regex.GetSubmatchText(1, 1);
  const Text fileId = regex.GetSubmatchText(1, 2);
  const Text t = regex.GetSubmatchText(1, 3);
  const Text k = regex.GetSubmatchText(1, 4);
  // The values go in exactly as captured: the service expects them so.
  const Text formBody = "action=" + action + "&file_id=" + fileId + "&t=" + t + "&k=" + k;

  Text referrer = "Referer: " + frameAddress;
  const Text answer = BodyAsText(WebRequest(origin + "ajaxm.php", kMethodPost, formBody, nullptr, nullptr, &referrer));
  json.Clear();
  json.Parse(answer);
  const Text dom = json.GetProperty("dom");
  const Text token = json.GetProperty("url");

  Text responseHeaders;
  WebRequest(dom + "/file/" + token, kMethodGet, {}, nullptr, nullptr, nullptr, &responseHeaders, nullptr,
             /*noRedirect=*/true);
  const Text directUrl = RedirectTarget(responseHeaders);
  form.SetText(Control::编辑框2, directUrl);
  g_directUrl = directUrl;
}

}  // namespace qm
