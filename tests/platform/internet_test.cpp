// The Internet service against a real HTTP server on 127.0.0.1: what it sends,
// why it fails, and that it keeps the window pumped while it waits.
#include "platform/internet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/busy.h"
#include "tests/support/loopback_server.h"

namespace qm {
namespace {

using test::LoopbackServer;
using test::RecordedRequest;
using test::Reply;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Reads the whole body; false when a read failed.
bool ReadAll(InternetRequest& request, std::string& body, InternetError* why = nullptr) {
  std::uint8_t buffer[1024];
  for (;;) {
    std::size_t n = 0;
    if (!request.Read(buffer, sizeof buffer, n, why)) return false;
    if (n == 0) return true;
    body.append(reinterpret_cast<char*>(buffer), n);
  }
}

class ShortTimeouts {
 public:
  ShortTimeouts() : before_(SetInternetTimeouts({2000ms, 300ms})) {}
  ~ShortTimeouts() { SetInternetTimeouts(before_); }

 private:
  InternetTimeouts before_;
};

TEST(InternetTest, HeaderLinesReplaceTheDefaultsAndTheAgentNameFillsIn) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("ok"); });
  auto session = InternetSession::Open("Agent-1234", kAccessDirect);
  ASSERT_TRUE(session);
  auto request = session->OpenUrl(server.Origin() + "/h", "Accept: text/plain\r\nX-Extra: 1", kFlagReload);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Status(), 200);
  EXPECT_EQ(request->ContentLength(), 2);
  std::string body;
  ASSERT_TRUE(ReadAll(*request, body));
  EXPECT_EQ(body, "ok");
  const RecordedRequest sent = server.Requests().at(0);
  EXPECT_EQ(sent.HeaderNames(), (std::vector<std::string>{"Host", "User-Agent", "Accept", "X-Extra"}));
  EXPECT_EQ(sent.Header("User-Agent"), "Agent-1234");
  EXPECT_EQ(sent.Header("Accept"), "text/plain");
}

TEST(InternetTest, FailuresSayWhy) {
  ShortTimeouts bounds;
  const auto reply = [](auto edit) {
    Reply r = Reply::Text(std::string(4096, 'b'), "application/octet-stream");
    edit(r);
    return r;
  };
  const struct {
    const char* name;
    Reply reply;
    bool opens;
    InternetError why;
  } cases[] = {
      {"silent before the head", reply([](Reply& r) { r.delayBeforeHead = 20s; }), false, InternetError::kTimedOut},
      {"silent in the body", reply([](Reply& r) { r.pieceSize = 1000, r.pieceDelay = 20s; }), true,
       InternetError::kTimedOut},
      {"dropped", reply([](Reply& r) { r.dropAfter = 100; }), true, InternetError::kTransferFailed},
      {"unknown coding", reply([](Reply& r) { r.headers.emplace_back("Content-Encoding", "br"); }), true,
       InternetError::kBadContent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server([&](const RecordedRequest&) { return c.reply; });
    auto session = InternetSession::Open("a", kAccessDirect);
    InternetError why = InternetError::kNone;
    const auto start = Clock::now();
    auto request = session->OpenUrl(server.Origin() + "/f", "", 0, &why);
    ASSERT_EQ(request != nullptr, c.opens);
    if (request) {
      std::string body;
      EXPECT_FALSE(ReadAll(*request, body, &why));
    }
    EXPECT_EQ(why, c.why);
    EXPECT_LT(Clock::now() - start, 5s);
  }
  auto session = InternetSession::Open("a", kAccessDirect);
  for (const std::string url : {"", "ftp://127.0.0.1/", "file:///etc/hostname"}) {
    InternetError why = InternetError::kNone;
    EXPECT_FALSE(session->OpenUrl(url, "", 0, &why)) << url;
    EXPECT_EQ(why, InternetError::kBadAddress) << url;
  }
  EXPECT_FALSE(InternetSession::Open("a", 3));  // a named proxy, which has no name here
}

// A server can keep a transfer alive for ever, a byte now and then; only the
// user leaving ends it then.
TEST(InternetTest, AStopRequestEndsEveryWaitAtOnce) {
  const struct {
    const char* name;
    std::chrono::milliseconds delayBeforeHead;
    bool opens;
  } cases[] = {
      {"waiting for the head", 20s, false},
      {"in a body that trickles without end", 0ms, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server([&](const RecordedRequest&) {
      Reply r = Reply::Text(std::string(100000, 't'), "application/octet-stream");
      r.delayBeforeHead = c.delayBeforeHead;
      r.pieceSize = 1;
      r.pieceDelay = 100ms;
      return r;
    });
    const auto start = Clock::now();
    SetBusyPump([&start] {
      if (Clock::now() - start > 300ms) RequestStop();
    });
    auto session = InternetSession::Open("a", kAccessDirect);
    InternetError why = InternetError::kNone;
    auto request = session->OpenUrl(server.Origin() + "/f", "", 0, &why);
    EXPECT_EQ(request != nullptr, c.opens);
    if (request) {
      std::string body;
      EXPECT_FALSE(ReadAll(*request, body, &why));
    }
    SetBusyPump({});
    ClearStopRequest();
    EXPECT_EQ(why, InternetError::kStopped);
    EXPECT_LT(Clock::now() - start, 1500ms);
  }
}

TEST(InternetTest, WaitsKeepTheWindowPumped) {
  std::vector<Clock::time_point> pumps;
  SetBusyPump([&pumps] { pumps.push_back(Clock::now()); });
  LoopbackServer server([](const RecordedRequest&) {
    Reply r = Reply::Text(std::string(3000, 'p'), "application/octet-stream");
    r.delayBeforeHead = 400ms;
    r.pieceSize = 1000;
    r.pieceDelay = 300ms;
    return r;
  });
  auto session = InternetSession::Open("a", kAccessDirect);
  const auto start = Clock::now();
  auto request = session->OpenUrl(server.Origin() + "/slow", "", 0);
  ASSERT_TRUE(request);
  std::string body;
  ASSERT_TRUE(ReadAll(*request, body));
  const auto end = Clock::now();
  SetBusyPump({});
  EXPECT_EQ(body.size(), 3000u);
  // About one pump per 50 ms over a second of waiting, with no long gap.
  ASSERT_GE(pumps.size(), 10u);
  Clock::time_point last = start;
  for (const auto& p : pumps) {
    EXPECT_LT(p - last, 400ms);  // ~50 ms, with room for a busy machine
    last = p;
  }
  EXPECT_LT(end - last, 400ms);
}

// A variable of the environment set for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(InternetTest, AccessTypeChoosesBetweenTheConfiguredProxyAndNone) {
  LoopbackServer origin([](const RecordedRequest&) { return Reply::Text("from the origin"); });
  LoopbackServer proxy([](const RecordedRequest&) { return Reply::Text("from the proxy"); });
  ScopedEnv noProxy("no_proxy", nullptr), noProxyUpper("NO_PROXY", nullptr);
  {
    ScopedEnv none("http_proxy", nullptr), all("all_proxy", nullptr), allUpper("ALL_PROXY", nullptr),
        https("https_proxy", nullptr), httpsUpper("HTTPS_PROXY", nullptr);
    EXPECT_EQ(InternetConnectionFlags() & kConnectionProxy, 0u);
  }
  ScopedEnv configured("http_proxy", proxy.Origin().c_str());
  EXPECT_NE(InternetConnectionFlags() & kConnectionProxy, 0u);
  const struct {
    int accessType;
    const char* body;
  } cases[] = {{kAccessPreconfig, "from the proxy"},
               {kAccessPreconfigNoAutoProxy, "from the proxy"},
               {kAccessDirect, "from the origin"}};
  for (const auto& c : cases) {
    auto request = InternetSession::Open("a", c.accessType)->OpenUrl(origin.Origin() + "/p", "", 0);
    ASSERT_TRUE(request);
    std::string body;
    ASSERT_TRUE(ReadAll(*request, body));
    EXPECT_EQ(body, c.body) << c.accessType;
  }
  EXPECT_EQ(proxy.Requests().at(0).target, origin.Origin() + "/p");
}

}  // namespace
}  // namespace qm
