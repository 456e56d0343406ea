// What WebRequest asks of the request object, call by call, seen through a
// recording stand-in.
#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "http/web_request.h"
#include "platform/automation.h"
#include "tests/http/recording_request.h"

namespace qm {
namespace {

using test::RecordingRequest;
using Calls = std::vector<std::string>;

const Text kUrl = "http://h.test/p?q=1";
const std::string kUserAgentCall =
    "SetRequestHeader(User-Agent|Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1))";

TEST(WebRequestCallsTest, OmittedArgumentsGiveTheDefaultSequence) {
  auto request = std::make_shared<RecordingRequest>();
  request->body = {'o', 'k'};
  WebRequest(kUrl, {}, {}, nullptr, nullptr, nullptr, nullptr, nullptr, {}, {}, {}, {}, {}, {}, 1, request);
  EXPECT_EQ(request->calls, (Calls{
                                "SetTimeouts(15000|15000|15000|15000)",
                                "Open(GET|http://h.test/p?q=1|false)",
                                "SetRequestHeader(Accept|*/*)",
                                "SetRequestHeader(Referer|http://h.test/p?q=1)",
                                "SetRequestHeader(Accept-Language|zh-cn)",
                                kUserAgentCall,
                                "Send(text|)",
                                "ResponseBody()",
                                "GetAllResponseHeaders()",
                                "Status()",
                            }));
  EXPECT_EQ(AutomationDepth(), 0);
  EXPECT_EQ(request.use_count(), 1);  // the routine let go of its reference
}

TEST(WebRequestCallsTest, EveryStepInItsPlace) {
  auto request = std::make_shared<RecordingRequest>();
  Text cookies = "sid=1";
  Text headers = "X-A: 1";
  WebRequest(kUrl, kMethodPost, "a=1&b=2", &cookies, nullptr, &headers, nullptr, nullptr,
             /*noRedirect=*/true, {}, "127.0.0.1:3128", /*timeoutSeconds=*/30, "user", "pass",
             /*proxyAuthMode=*/1, request);
  EXPECT_EQ(request->calls, (Calls{
                                "SetTimeouts(30000|30000|30000|30000)",
                                "SetProxy(2|127.0.0.1:3128)",
                                "SetRequestHeader(Proxy-Authorization|Basic dXNlcjpwYXNz)",
                                "Open(POST|http://h.test/p?q=1|false)",
                                "Option(6|0)",  // and never Option 4: certificates stay verified
                                "SetRequestHeader(Cookie|sid=1)",
                                "SetRequestHeader(X-A|1)",
                                "SetRequestHeader(Accept|*/*)",
                                "SetRequestHeader(Referer|http://h.test/p?q=1)",
                                "SetRequestHeader(Accept-Language|zh-cn)",
                                kUserAgentCall,
                                "SetRequestHeader(Content-Type|application/x-www-form-urlencoded)",
                                "Send(text|a=1&b=2)",
                                "ResponseBody()",
                                "GetAllResponseHeaders()",
                                "Status()",
                            }));
}

struct HeadersCase {
  std::optional<Text> headers;  // nullopt: omitted
  std::int32_t method;
  Text completed;               // the caller's variable afterwards
  Calls headerCalls;            // SetRequestHeader calls in order
};

class WebRequestHeadersTest : public ::testing::TestWithParam<HeadersCase> {};

TEST_P(WebRequestHeadersTest, CompletesAndSetsTheLines) {
  const HeadersCase& c = GetParam();
  auto request = std::make_shared<RecordingRequest>();
  Text headers = c.headers.value_or("");
  WebRequest("u", c.method, {}, nullptr, nullptr, c.headers ? &headers : nullptr, nullptr, nullptr, false, {}, {},
             0, {}, {}, 1, request);
  if (c.headers) {
    EXPECT_EQ(headers, c.completed);
  }
  EXPECT_EQ(request->CallsOf("SetRequestHeader"), c.headerCalls);
}

const Text kDefaultsAfterAccept = "\r\nReferer: u\r\nAccept-Language: zh-cn\r\nUser-Agent: "
                                  "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
const Calls kDefaultCallsAfterAccept = {"SetRequestHeader(Referer|u)", "SetRequestHeader(Accept-Language|zh-cn)",
                                        kUserAgentCall};

Calls Concat(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(Cases, WebRequestHeadersTest, ::testing::Values(
    HeadersCase{std::nullopt, kMethodGet, "",
                Concat({"SetRequestHeader(Accept|*/*)"}, kDefaultCallsAfterAccept)},
    HeadersCase{"", kMethodGet, "Accept: */*" + kDefaultsAfterAccept,
                Concat({"SetRequestHeader(Accept|*/*)"}, kDefaultCallsAfterAccept)},
    HeadersCase{"User-Agent: X", kMethodGet,
                "User-Agent: X\r\nAccept: */*\r\nReferer: u\r\nAccept-Language: zh-cn",
                {"SetRequestHeader(User-Agent|X)", "SetRequestHeader(Accept|*/*)", "SetRequestHeader(Referer|u)",
                 "SetRequestHeader(Accept-Language|zh-cn)"}},
    // The presence test is case-sensitive ...
    HeadersCase{"accept: text/html", kMethodGet, "accept: text/html\r\nAccept: */*" + kDefaultsAfterAccept,
                Concat({"SetRequestHeader(accept|text/html)", "SetRequestHeader(Accept|*/*)"},
                       kDefaultCallsAfterAccept)},
    // ... and a plain search: X-Accept: counts as Accept:.
    HeadersCase{"X-Accept: 1", kMethodGet, "X-Accept: 1" + kDefaultsAfterAccept,
                Concat({"SetRequestHeader(X-Accept|1)"}, kDefaultCallsAfterAccept)},
    // Empty pieces are skipped; 'Name:' has an empty value; a line without a
    // colon is still passed, with an empty name and value.
    HeadersCase{"Accept: a\r\n\r\nName:\r\nno colon", kMethodGet,
                "Accept: a\r\n\r\nName:\r\nno colon" + kDefaultsAfterAccept,
                Concat({"SetRequestHeader(Accept|a)", "SetRequestHeader(Name|)", "SetRequestHeader(|)"},
                       kDefaultCallsAfterAccept)},
    HeadersCase{"", kMethodPost,
                "Accept: */*" + kDefaultsAfterAccept + "\r\nContent-Type: application/x-www-form-urlencoded",
                Concat(Concat({"SetRequestHeader(Accept|*/*)"}, kDefaultCallsAfterAccept),
                       {"SetRequestHeader(Content-Type|application/x-www-form-urlencoded)"})},
    HeadersCase{"Content-Type: text/plain", kMethodPost, "Content-Type: text/plain\r\nAccept: */*" + kDefaultsAfterAccept,
                Concat({"SetRequestHeader(Content-Type|text/plain)", "SetRequestHeader(Accept|*/*)"},
                       kDefaultCallsAfterAccept)},
    HeadersCase{"", kMethodPut, "Accept: */*" + kDefaultsAfterAccept,  // only POST gets a content type
                Concat({"SetRequestHeader(Accept|*/*)"}, kDefaultCallsAfterAccept)},
    // With every default present on one line there is no "\r\n": one call.
    HeadersCase{"Accept: a Referer: b Accept-Language: c User-Agent: d", kMethodGet,
                "Accept: a Referer: b Accept-Language: c User-Agent: d",
                {"SetRequestHeader(Accept|a Referer: b Accept-Language: c User-Agent: d)"}}));

TEST(WebRequestCallsTest, MethodIndexPicksTheName) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {-1, "GET"}, {0, "GET"}, {1, "POST"}, {2, "HEAD"}, {3, "PUT"}, {4, "OPTIONS"},
      {5, "DELETE"}, {6, "TRACE"}, {7, "CONNECT"}, {8, "GET"}, {std::numeric_limits<std::int32_t>::min(), "GET"},
  };
  for (const auto& [method, name] : cases) {
    auto request = std::make_shared<RecordingRequest>();
    WebRequest("u", method, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1, request);
    EXPECT_EQ(request->CallsOf("Open"), Calls{"Open(" + name + "|u|false)"}) << method;
  }
}

TEST(WebRequestCallsTest, TimeoutSecondsBecomeMilliseconds) {
  const std::pair<std::int32_t, Calls> cases[] = {
      {-1, {}},
      {0, {"SetTimeouts(15000|15000|15000|15000)"}},
      {-5, {"SetTimeouts(15000|15000|15000|15000)"}},
      {1, {"SetTimeouts(1000|1000|1000|1000)"}},
      {30, {"SetTimeouts(30000|30000|30000|30000)"}},
      {2147483, {"SetTimeouts(2147483000|2147483000|2147483000|2147483000)"}},
      // Beyond the 32-bit millisecond range: held at its end, not wrapped.
      {2147484, {"SetTimeouts(2147483647|2147483647|2147483647|2147483647)"}},
      {std::numeric_limits<std::int32_t>::max(), {"SetTimeouts(2147483647|2147483647|2147483647|2147483647)"}},
  };
  for (const auto& [seconds, expected] : cases) {
    auto request = std::make_shared<RecordingRequest>();
    WebRequest("u", 0, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, {}, seconds, {}, {}, 1, request);
    EXPECT_EQ(request->CallsOf("SetTimeouts"), expected) << seconds;
  }
}

TEST(WebRequestCallsTest, ProxyAndItsCredential) {
  struct Case {
    Text proxy, user, password;
    std::int32_t mode;
    Calls before;  // the calls before Open, after SetTimeouts
  };
  const Case cases[] = {
      {"", "u", "p", 1, {}},
      {"h:1", "", "p", 1, {"SetProxy(2|h:1)"}},
      {"h:1", "u", "p", 0, {"SetProxy(2|h:1)"}},
      {"h:1", "u", "p", 2, {"SetProxy(2|h:1)"}},
      {"h:1", "u", "p", 1, {"SetProxy(2|h:1)", "SetRequestHeader(Proxy-Authorization|Basic dTpw)"}},
      {"h:1", "u", "", 1, {"SetProxy(2|h:1)", "SetRequestHeader(Proxy-Authorization|Basic dTo=)"}},
      // '用户' is encoded from its code-page-936 bytes
      {"h:1", "\xD3\xC3\xBB\xA7", "p", 1, {"SetProxy(2|h:1)", "SetRequestHeader(Proxy-Authorization|Basic 08O7pzpw)"}},
  };
  for (const Case& c : cases) {
    auto request = std::make_shared<RecordingRequest>();
    WebRequest("u", 0, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, c.proxy, 0, c.user, c.password,
               c.mode, request);
    const auto open = std::find(request->calls.begin(), request->calls.end(), "Open(GET|u|false)");
    ASSERT_NE(open, request->calls.end());
    EXPECT_EQ(Calls(request->calls.begin() + 1, open), c.before) << c.proxy << " " << c.user << " " << c.mode;
  }
  // An omitted mode means 1.
  auto request = std::make_shared<RecordingRequest>();
  SetHttpRequestFactory([&] { return request; });
  WebRequest("u", 0, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, "h:1", 0, "u", "p");
  SetHttpRequestFactory(nullptr);
  EXPECT_EQ(request->CallsOf("SetRequestHeader").front(), "SetRequestHeader(Proxy-Authorization|Basic dTpw)");
}

TEST(WebRequestCallsTest, CookieHeaderOnlyWhenGivenEvenEmpty) {
  auto omitted = std::make_shared<RecordingRequest>();
  WebRequest("u", 0, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1, omitted);
  for (const std::string& call : omitted->calls) EXPECT_FALSE(call.starts_with("SetRequestHeader(Cookie")) << call;

  auto empty = std::make_shared<RecordingRequest>();
  Text cookies;
  WebRequest("u", 0, {}, &cookies, nullptr, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1, empty);
  const Calls headerCalls = empty->CallsOf("SetRequestHeader");
  ASSERT_FALSE(headerCalls.empty());
  EXPECT_EQ(headerCalls.front(), "SetRequestHeader(Cookie|)");  // before the header lines
}

TEST(WebRequestCallsTest, BytesWinOverText) {
  auto both = std::make_shared<RecordingRequest>();
  WebRequest("u", kMethodPost, "text", nullptr, nullptr, nullptr, nullptr, nullptr, false, {'b', 0, 'y'}, {}, 0,
             {}, {}, 1, both);
  EXPECT_EQ(both->CallsOf("Send"), Calls{std::string("Send(bytes|b\0y)", 15)});

  auto textOnly = std::make_shared<RecordingRequest>();
  WebRequest("u", kMethodPost, "text", nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1,
             textOnly);
  EXPECT_EQ(textOnly->CallsOf("Send"), Calls{"Send(text|text)"});
}

TEST(WebRequestCallsTest, ReceivedCookiesFromSetCookieLines) {
  const std::pair<Text, Text> cases[] = {
      {"Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n", "a=1; b=2"},
      {"Content-Type: text/html\r\n", ""},
      {"", ""},
      {"set-cookie: c=3\r\n", ""},                        // the name must match exactly
      {"Set-Cookie:x=1\r\n", ""},                          // and be followed by ": "
      {"Set-Cookie: a=1\r\nSet-Cookie: a=2\r\n", "a=1; a=2"},  // repeats stay
      {"Set-Cookie: k=v;\r\n", "k=v"},
      {"Set-Cookie: SET-COOKIE:v=1\r\n", "v=1"},           // without ";" every marker goes, in any case
      {"X: 1\r\nSet-Cookie: a=1; HttpOnly\r\nSet-Cookie: b=\xC4\xE3; path=/", "a=1; b=\xC4\xE3"},  // b=你
  };
  for (const auto& [responseHeaders, expected] : cases) {
    auto request = std::make_shared<RecordingRequest>();
    request->headers = responseHeaders;
    request->status = 200;
    Text received = "stale";
    Text seenHeaders;
    std::int32_t status = -1;
    WebRequest("u", 0, {}, nullptr, &received, nullptr, &seenHeaders, &status, false, {}, {}, 0, {}, {}, 1, request);
    EXPECT_EQ(received, expected) << responseHeaders;
    EXPECT_EQ(seenHeaders, responseHeaders);
    EXPECT_EQ(status, 200);
  }
}

TEST(WebRequestCallsTest, MergesIntoBothCookieVariablesUnlessTold) {
  const Text setCookies = "Set-Cookie: b=3; path=/\r\nSet-Cookie: c=4\r\n";
  {
    auto request = std::make_shared<RecordingRequest>();
    request->headers = setCookies;
    Text cookies = " a=1; b=2 ";
    Text received;
    WebRequest("u", 0, {}, &cookies, &received, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1, request);
    EXPECT_EQ(cookies, "b=3; c=4;a=1");
    EXPECT_EQ(received, "b=3; c=4;a=1");
    EXPECT_EQ(request->CallsOf("SetRequestHeader").front(), "SetRequestHeader(Cookie| a=1; b=2 )");
  }
  {
    auto request = std::make_shared<RecordingRequest>();
    request->headers = setCookies;
    Text cookies = "a=1; b=2";
    Text received;
    WebRequest("u", 0, {}, &cookies, &received, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1, request,
               /*updateCookies=*/false);
    EXPECT_EQ(cookies, "a=1; b=2");
    EXPECT_EQ(received, "b=3; c=4");
  }
  {
    // A failed request merges the cookie text with nothing.
    auto request = std::make_shared<RecordingRequest>();
    Text cookies = " a=1;a=1 ";
    Text received = "stale";
    WebRequest("u", 0, {}, &cookies, &received, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1, request);
    EXPECT_EQ(cookies, "a=1");
    EXPECT_EQ(received, "a=1");
  }
}

TEST(WebRequestCallsTest, NoObjectMeansNothingSentAndNothingWritten) {
  int created = 0;
  SetHttpRequestFactory([&] {
    ++created;
    return HttpRequestRef();
  });
  Text cookies = "a=1", received = "r", headers = "X: 1", responseHeaders = "h";
  std::int32_t status = 7;
  const Bytes body = WebRequest("u", 0, "t", &cookies, &received, &headers, &responseHeaders, &status);
  SetHttpRequestFactory(nullptr);
  EXPECT_EQ(created, 1);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(cookies, "a=1");
  EXPECT_EQ(received, "r");
  EXPECT_EQ(headers, "X: 1");
  EXPECT_EQ(responseHeaders, "h");
  EXPECT_EQ(status, 7);
  EXPECT_EQ(AutomationDepth(), 0);
}

TEST(WebRequestCallsTest, AGivenObjectIsUsedAndKept) {
  int created = 0;
  SetHttpRequestFactory([&] {
    ++created;
    return std::make_shared<RecordingRequest>();
  });
  auto mine = std::make_shared<RecordingRequest>();
  mine->body = {'x'};
  EXPECT_EQ(WebRequest("u", 0, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, {}, 0, {}, {}, 1, mine),
            Bytes{'x'});
  WebRequest("v");  // no object given: one is made
  SetHttpRequestFactory(nullptr);
  EXPECT_EQ(created, 1);
  EXPECT_EQ(mine.use_count(), 1);
  EXPECT_EQ(mine->CallsOf("Open"), Calls{"Open(GET|u|false)"});
}

}  // namespace
}  // namespace qm
