// WebRequest against real servers on 127.0.0.1: what arrives on the wire and
// what comes back to the caller.
#include "http/web_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/busy.h"
#include "platform/codepage.h"
#include "resolve/text_routines.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"

namespace qm {
namespace {

using test::LoopbackServer;
using test::RecordedRequest;
using test::Reply;
using Clock = std::chrono::steady_clock;

const std::string kUserAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A port on 127.0.0.1 where nothing listens, held so that nobody takes it.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

TEST(WebRequestTest, DefaultHeadersArriveInOrderAndNothingElse) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("hello"); });
  const Text url = server.Origin() + "/share/abc?x=1";
  Text responseHeaders;
  std::int32_t status = 0;
  const Bytes body = WebRequest(url, kMethodGet, {}, nullptr, nullptr, nullptr, &responseHeaders, &status);
  EXPECT_EQ(body, B("hello"));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(responseHeaders, "Content-Type: text/html; charset=utf-8\r\nContent-Length: 5\r\nConnection: close\r\n");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& r = requests[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, "/share/abc?x=1");
  EXPECT_EQ(r.version, "HTTP/1.1");
  EXPECT_EQ(r.HeaderNames(),
            (std::vector<std::string>{"Host", "Accept", "Referer", "Accept-Language", "User-Agent"}));
  EXPECT_EQ(r.Header("Host"), "127.0.0.1:" + std::to_string(server.Port()));
  EXPECT_EQ(r.Header("Accept"), "*/*");
  EXPECT_EQ(r.Header("Referer"), url);
  EXPECT_EQ(r.Header("Accept-Language"), "zh-cn");
  EXPECT_EQ(r.Header("User-Agent"), kUserAgent);
  EXPECT_EQ(r.body, "");
}

TEST(WebRequestTest, PostSendsTheFormWithItsContentTypeUnlessGiven) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("{\"zt\":1}", "application/json"); });
  const Text url = server.Origin() + "/ajaxm.php";
  // 'action=下载&file_id=1' in code page 936 goes out as UTF-8
  const Text form = "action=\xCF\xC2\xD4\xD8&file_id=1";
  Text headers = "Referer: " + server.Origin() + "/fn?x";
  EXPECT_EQ(WebRequest(url, kMethodPost, form, nullptr, nullptr, &headers), B("{\"zt\":1}"));
  Text json = "Content-Type: application/json";
  WebRequest(url, kMethodPost, "{}", nullptr, nullptr, &json);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const RecordedRequest& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.body, "action=\xE4\xB8\x8B\xE8\xBD\xBD&file_id=1");
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(r.Header("Referer"), server.Origin() + "/fn?x");
  EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(r.HeaderNames(), (std::vector<std::string>{"Host", "Referer", "Accept", "Accept-Language", "User-Agent",
                                                       "Content-Type", "Content-Length"}));
  EXPECT_EQ(headers, "Referer: " + server.Origin() + "/fn?x\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nUser-Agent: " +
                         kUserAgent + "\r\nContent-Type: application/x-www-form-urlencoded");

  const RecordedRequest& j = requests[1];
  EXPECT_EQ(j.Header("Content-Type"), "application/json");
  EXPECT_EQ(j.body, "{}");
  int contentTypes = 0;
  for (const auto& name : j.HeaderNames()) contentTypes += name == "Content-Type";
  EXPECT_EQ(contentTypes, 1);
}

TEST(WebRequestTest, RedirectsFollowedOrLeftWithTheirLocation) {
  LoopbackServer server([](const RecordedRequest& r) {
    if (r.target == "/file/tok") {
      Reply reply = Reply::Redirect(302, "/direct/setup.zip?e=1");
      reply.headers.emplace_back("X-Hop", "first");
      return reply;
    }
    return Reply::Text("the file");
  });
  const Text url = server.Origin() + "/file/tok";

  Text responseHeaders;
  std::int32_t status = 0;
  const Bytes unfollowed =
      WebRequest(url, kMethodGet, {}, nullptr, nullptr, nullptr, &responseHeaders, &status, /*noRedirect=*/true);
  EXPECT_EQ(status, 302);
  EXPECT_TRUE(unfollowed.empty());
  EXPECT_EQ(TextBetween(responseHeaders, "Location: ", "\r\n"), "/direct/setup.zip?e=1");
  EXPECT_EQ(server.Requests().size(), 1u);

  const Bytes followed =
      WebRequest(url, kMethodGet, {}, nullptr, nullptr, nullptr, &responseHeaders, &status, /*noRedirect=*/false);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(followed, B("the file"));
  // Only the final response's headers.
  EXPECT_EQ(responseHeaders,
            "Content-Type: text/html; charset=utf-8\r\nContent-Length: 8\r\nConnection: close\r\n");
  ASSERT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(server.Requests()[2].target, "/direct/setup.zip?e=1");
}

TEST(WebRequestTest, SetCookieLinesBecomeReceivedCookiesAndMerge) {
  LoopbackServer server([](const RecordedRequest&) {
    Reply reply = Reply::Text("ok");
    reply.headers.emplace_back("Set-Cookie", "a=1; path=/");
    reply.headers.emplace_back("Set-Cookie", "b=2; HttpOnly");
    reply.headers.emplace_back("set-cookie", "c=9");  // other letter case: not collected
    return reply;
  });
  Text received;
  WebRequest(server.Origin() + "/", kMethodGet, {}, nullptr, &received);
  EXPECT_EQ(received, "a=1; b=2");

  Text cookies = "b=0; c=3";
  WebRequest(server.Origin() + "/", kMethodGet, {}, &cookies, &received);
  EXPECT_EQ(received, "a=1; b=2; c=3");
  EXPECT_EQ(cookies, "a=1; b=2; c=3");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].HasHeader("Cookie"));
  EXPECT_EQ(requests[1].Header("Cookie"), "b=0; c=3");
  EXPECT_EQ(requests[1].HeaderNames()[1], "Cookie");  // before the header lines
}

TEST(WebRequestTest, AnErrorStatusStillGivesItsBody) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Status(404, "no such share"); });
  std::int32_t status = 0;
  EXPECT_EQ(WebRequest(server.Origin() + "/x", kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, &status),
            B("no such share"));
  EXPECT_EQ(status, 404);
}

TEST(WebRequestTest, AnUnreachablePortGivesEmptyResultsButCompletesTheHeaders) {
  RefusingPort port;
  const Text url = "http://127.0.0.1:" + std::to_string(port.Port()) + "/";
  Text cookies = "a=1";
  Text received = "stale", headers = "X: 1", responseHeaders = "stale";
  std::int32_t status = 99;
  const Bytes body = WebRequest(url, kMethodGet, {}, &cookies, &received, &headers, &responseHeaders, &status);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(responseHeaders, "");
  EXPECT_EQ(received, "a=1");  // the cookie text merged with nothing
  EXPECT_EQ(headers, "X: 1\r\nAccept: */*\r\nReferer: " + url + "\r\nAccept-Language: zh-cn\r\nUser-Agent: " + kUserAgent);
}

TEST(WebRequestTest, ASilentServerIsCutOffAndTheWindowKeepsBeingPainted) {
  Reply silent = Reply::Text("late");
  silent.delayBeforeHead = std::chrono::seconds(20);
  LoopbackServer server([&](const RecordedRequest&) { return silent; });
  int pumped = 0;
  SetBusyPump([&] { ++pumped; });
  std::int32_t status = 99;
  const auto start = Clock::now();
  const Bytes body = WebRequest(server.Origin() + "/", kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, &status,
                                false, {}, {}, /*timeoutSeconds=*/1);
  const auto elapsed = Clock::now() - start;
  SetBusyPump(nullptr);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(status, 0);
  EXPECT_GE(elapsed, std::chrono::milliseconds(950));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000 + 750));
  EXPECT_GE(pumped, 10);  // about every 50 ms while waiting
}

TEST(WebRequestTest, TheProxyGetsTheAbsoluteAddressAndTheBasicCredential) {
  // A recording stand-in for a proxy: it answers itself instead of forwarding.
  LoopbackServer proxy([](const RecordedRequest&) { return Reply::Text("via proxy"); });
  const Text proxyAddress = "127.0.0.1:" + std::to_string(proxy.Port());
  EXPECT_EQ(WebRequest("http://share.test/s/abc", kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false,
                       {}, proxyAddress, 0, "user", "secret"),
            B("via proxy"));
  WebRequest("http://share.test/s/abc", kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {},
             proxyAddress, 0, "user", "secret", /*proxyAuthMode=*/0);

  const auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "http://share.test/s/abc");
  EXPECT_EQ(requests[0].Header("Host"), "share.test");
  EXPECT_EQ(requests[0].Header("Proxy-Authorization"), "Basic dXNlcjpzZWNyZXQ=");
  EXPECT_EQ(requests[0].HeaderNames(), (std::vector<std::string>{"Host", "Proxy-Authorization", "Accept", "Referer",
                                                                 "Accept-Language", "User-Agent"}));
  EXPECT_FALSE(requests[1].HasHeader("Proxy-Authorization"));

  // For https the credential goes with the tunnel request, and the server's
  // headers stay inside the tunnel.
  proxy.ClearRequests();
  proxy.SetHandler([](const RecordedRequest&) { return Reply::Status(403); });
  std::int32_t status = 99;
  EXPECT_TRUE(WebRequest("https://share.test/s/abc", kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, &status,
                         false, {}, proxyAddress, 0, "user", "secret")
                  .empty());
  EXPECT_EQ(status, 0);
  const auto tunnel = proxy.Requests();
  ASSERT_EQ(tunnel.size(), 1u);
  EXPECT_EQ(tunnel[0].method, "CONNECT");
  EXPECT_EQ(tunnel[0].target, "share.test:443");
  EXPECT_EQ(tunnel[0].HeaderNames(), (std::vector<std::string>{"Host", "Proxy-Authorization"}));
  EXPECT_EQ(tunnel[0].Header("Proxy-Authorization"), "Basic dXNlcjpzZWNyZXQ=");
}

// tinyproxy started by the test with its own configuration, demanding Basic
// credentials, forwarding to the loopback server.
class TinyproxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("quillmere-tinyproxy-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    port_ = test::FreeLoopbackPort();
    std::ofstream(dir_ / "tinyproxy.conf") << "Port " << port_ << "\n"
                                           << "Listen 127.0.0.1\n"
                                           << "Timeout 10\n"
                                           << "MaxClients 4\n"
                                           << "LogLevel Critical\n"
                                           << "BasicAuth user secret\n"
                                           << "Allow 127.0.0.1\n";
    proxy_ = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"tinyproxy", "-d", "-c", (dir_ / "tinyproxy.conf").string()});
    ASSERT_TRUE(proxy_->Started()) << "tinyproxy is needed: scripts/deps test";
    ASSERT_TRUE(test::WaitForLoopbackPort(port_, std::chrono::seconds(10))) << "tinyproxy did not start";
  }
  void TearDown() override {
    proxy_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Text ProxyAddress() const { return "127.0.0.1:" + std::to_string(port_); }

  std::filesystem::path dir_;
  int port_ = 0;
  std::unique_ptr<test::ChildProcess> proxy_;
};

TEST_F(TinyproxyTest, ForwardsWithTheRightCredentialAndRefusesOthers) {
  LoopbackServer origin([](const RecordedRequest&) { return Reply::Text("from origin"); });
  const Text url = origin.Origin() + "/page";
  std::int32_t status = 0;
  EXPECT_EQ(WebRequest(url, kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, &status, false, {}, ProxyAddress(), 5,
                       "user", "secret"),
            B("from origin"));
  EXPECT_EQ(status, 200);
  const auto requests = origin.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/page");
  EXPECT_EQ(requests[0].Header("Referer"), url);
  EXPECT_FALSE(requests[0].HasHeader("Proxy-Authorization"));

  WebRequest(url, kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, &status, false, {}, ProxyAddress(), 5, "user",
             "wrong");
  EXPECT_TRUE(status == 401 || status == 407) << status;  // tinyproxy answers a wrong credential with 401
  WebRequest(url, kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, &status, false, {}, ProxyAddress(), 5);
  EXPECT_EQ(status, 407);
  EXPECT_EQ(origin.Requests().size(), 1u);
}

TEST(WebRequestTest, AGivenObjectServesSeveralRequests) {
  LoopbackServer server([](const RecordedRequest& r) { return Reply::Text(r.target); });
  const HttpRequestRef request = CreateHttpRequest();
  ASSERT_TRUE(request);
  Text cookies = "a=1";
  EXPECT_EQ(WebRequest(server.Origin() + "/one", kMethodGet, {}, &cookies, nullptr, nullptr, nullptr, nullptr, false,
                       {}, {}, 0, {}, {}, 1, request),
            B("/one"));
  EXPECT_EQ(WebRequest(server.Origin() + "/two", kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false,
                       {}, {}, 0, {}, {}, 1, request),
            B("/two"));
  EXPECT_EQ(request->Status(), 200);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].HasHeader("Cookie"));
  EXPECT_FALSE(requests[1].HasHeader("Cookie"));  // headers belong to one request
}

}  // namespace
}  // namespace qm
