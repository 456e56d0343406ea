// The libcurl request object on its own: how texts cross to the wire, how
// the response comes back, and that every failure is silent.
#include "platform/http_request.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "http/web_request.h"
#include "platform/busy.h"
#include "platform/codepage.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"

namespace qm {
namespace {

using test::LoopbackServer;
using test::RecordedRequest;
using test::Reply;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

HttpRequestRef NewRequest() {
  HttpRequestRef request = CreateHttpRequest();
  EXPECT_TRUE(request);
  return request;
}

TEST(HttpRequestTest, SendsExactlyTheHeadersSetInTheirOrder) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("ok"); });
  const HttpRequestRef request = NewRequest();
  request->SetRequestHeader("B", "2");  // set before Open: still part of the request
  request->Open("GET", server.Origin() + "/", false);
  request->SetRequestHeader("A", "1");
  request->SetRequestHeader("b", "3");        // the same name again replaces the value in place
  request->SetRequestHeader("Empty", "");     // sent with an empty value
  request->SetRequestHeader("", "x");         // refused: no name
  request->SetRequestHeader("Bad Name", "x");  // refused: no token
  request->SetRequestHeader("Inject", "x\r\nEvil: 1");  // refused: would add a header of its own
  request->SetRequestHeader("Content-Length", "99");     // the object's own
  request->Send(Text());
  EXPECT_EQ(request->Status(), 200);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].HeaderNames(), (std::vector<std::string>{"Host", "B", "A", "Empty"}));
  EXPECT_EQ(requests[0].Header("B"), "3");
  EXPECT_EQ(requests[0].head.find("Evil"), std::string::npos);
}

TEST(HttpRequestTest, AddressHeadersAndBodiesCrossAsUtf8) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("ok"); });
  const HttpRequestRef request = NewRequest();
  // '/文件 a?q=值' in code page 936
  request->Open("POST", server.Origin() + "/\xCE\xC4\xBC\xFE a?q=\xD6\xB5", false);
  request->SetRequestHeader("X-Name", "\xC4\xE3\xBA\xC3");  // 你好
  request->Send(Text("k=\xD6\xB5"));                        // k=值
  request->Open("PUT", server.Origin() + "/raw", false);
  request->Send(Bytes{0xC4, 0x00, 0xFF});

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/%E6%96%87%E4%BB%B6%20a?q=%E5%80%BC");
  EXPECT_EQ(requests[0].Header("X-Name"), "\xE4\xBD\xA0\xE5\xA5\xBD");
  EXPECT_EQ(requests[0].body, "k=\xE5\x80\xBC");
  EXPECT_EQ(requests[1].method, "PUT");
  EXPECT_EQ(requests[1].body, std::string("\xC4\x00\xFF", 3));
}

TEST(HttpRequestTest, MethodsAndBodiesOnTheWire) {
  struct Case {
    Text method;
    Text body;
    std::string contentLength;  // "" when none is sent
  };
  const Case cases[] = {
      {"GET", "", ""},      {"GET", "q", "1"},   {"POST", "", "0"}, {"POST", "a=1", "3"},
      {"PUT", "", "0"},     {"DELETE", "", ""},  {"OPTIONS", "", ""}, {"HEAD", "", ""},
  };
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("body"); });
  for (const Case& c : cases) {
    server.ClearRequests();
    const HttpRequestRef request = NewRequest();
    request->Open(c.method, server.Origin() + "/m", false);
    request->Send(c.body);
    EXPECT_EQ(request->Status(), 200) << c.method;
    EXPECT_EQ(request->ResponseBody(), c.method == "HEAD" ? Bytes() : B("body")) << c.method;
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u) << c.method;
    const RecordedRequest& r = requests[0];
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.body, c.body) << c.method;
    EXPECT_EQ(r.Header("Content-Length"), c.contentLength) << c.method;
    // curl's own extras never appear.
    for (const char* extra : {"Accept", "Expect", "Content-Type", "Proxy-Connection", "User-Agent"}) {
      EXPECT_FALSE(r.HasHeader(extra)) << c.method << " " << extra;
    }
  }
}

TEST(HttpRequestTest, ResponseHeadersComeBackLineByLine) {
  LoopbackServer server([](const RecordedRequest&) {
    Reply reply = Reply::Text("ok", "text/plain");
    reply.headers.emplace_back("X-Name", "\xE6\x96\x87\xE4\xBB\xB6");  // 文件 in UTF-8
    reply.headers.emplace_back("X-Raw", "\xC4\xE3");                   // not UTF-8: kept as it is
    return reply;
  });
  const HttpRequestRef request = NewRequest();
  request->Open("GET", server.Origin() + "/", false);
  request->Send(Text());
  EXPECT_EQ(request->GetAllResponseHeaders(),
            "Content-Type: text/plain\r\nX-Name: \xCE\xC4\xBC\xFE\r\nX-Raw: \xC4\xE3\r\n"
            "Content-Length: 2\r\nConnection: close\r\n");
}

TEST(HttpRequestTest, SilenceIsBoundedButASlowSteadyAnswerIsNot) {
  Reply trickle = Reply::Text("abcdef");
  trickle.pieceSize = 1;
  trickle.pieceDelay = std::chrono::milliseconds(300);  // 1.5 s in all, never 1 s silent
  LoopbackServer server([&](const RecordedRequest&) { return trickle; });
  const HttpRequestRef request = NewRequest();
  request->SetTimeouts(1000, 1000, 1000, 1000);
  request->Open("GET", server.Origin() + "/", false);
  request->Send(Text());
  EXPECT_EQ(request->ResponseBody(), B("abcdef"));
  EXPECT_EQ(request->LastFailure(), HttpFailure::None);
}

TEST(HttpRequestTest, SilenceOnAReusedConnectionIsBoundedToo) {
  int served = 0;
  LoopbackServer server([&](const RecordedRequest&) {
    Reply reply = Reply::Text("first");
    reply.keepAlive = true;
    if (++served > 1) reply.delayBeforeHead = std::chrono::seconds(20);
    return reply;
  });
  const HttpRequestRef request = NewRequest();
  request->SetTimeouts(1000, 1000, 1000, 1000);
  request->Open("GET", server.Origin() + "/1", false);
  request->Send(Text());
  ASSERT_EQ(request->ResponseBody(), B("first"));

  const auto start = std::chrono::steady_clock::now();
  request->Open("GET", server.Origin() + "/2", false);
  request->Send(Text());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(request->LastFailure(), HttpFailure::Timeout);
  EXPECT_EQ(served, 2);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000 + 750));
}

TEST(HttpRequestTest, FailuresAreSilentAndLeaveEmptyResults) {
  LoopbackServer server([](const RecordedRequest& r) {
    if (r.target == "/loop") return Reply::Redirect(302, "/loop");
    if (r.target == "/ftp") return Reply::Redirect(302, "ftp://127.0.0.1/x");
    Reply cut = Reply::Text(std::string(1000, 'x'));
    cut.dropAfter = 100;
    return cut;
  });
  struct Case {
    Text url;
    HttpFailure failure;
  };
  const Case cases[] = {
      {server.Origin() + "/loop", HttpFailure::Redirects},  // redirects are followed, but not for ever
      {server.Origin() + "/ftp", HttpFailure::BadAddress},  // only to http and https
      {server.Origin() + "/cut", HttpFailure::Transfer},    // a cut body is no body
      {"file:///etc/passwd", HttpFailure::BadAddress},
      {"ftp://127.0.0.1/x", HttpFailure::BadAddress},
      {"no address", HttpFailure::BadAddress},
  };
  for (const Case& c : cases) {
    const HttpRequestRef request = NewRequest();
    request->Open("GET", c.url, false);
    request->Send(Text());
    EXPECT_EQ(request->LastFailure(), c.failure) << c.url;
    EXPECT_EQ(request->Status(), 0) << c.url;
    EXPECT_TRUE(request->ResponseBody().empty()) << c.url;
    EXPECT_EQ(request->GetAllResponseHeaders(), "") << c.url;
  }

  const HttpRequestRef unopened = NewRequest();
  unopened->Send(Text("x"));
  EXPECT_EQ(unopened->LastFailure(), HttpFailure::NotOpened);
  EXPECT_EQ(unopened->Status(), 0);
}

TEST(HttpRequestTest, AnswersBeyondTheirBoundsFailWithoutTakingTheMemory) {
  Reply bigHead = Reply::Text("small body");
  for (int i = 0; i < 20; ++i) bigHead.headers.emplace_back("X-Pad-" + std::to_string(i), std::string(60000, 'p'));
  LoopbackServer server([&](const RecordedRequest& r) {
    if (r.target == "/head") return bigHead;
    Reply reply = Reply::Text(std::string(r.target == "/fits" ? 1000 : 1001, 'b'));
    reply.contentLength = r.target != "/endless";  // read to the end of the connection
    return reply;
  });
  const std::size_t before = SetHttpBodyLimit(1000);
  const struct {
    const char* target;
    HttpFailure failure;
  } cases[] = {
      {"/fits", HttpFailure::None},
      {"/over", HttpFailure::TooLarge},
      {"/endless", HttpFailure::TooLarge},
      {"/head", HttpFailure::TooLarge},  // 1.2 MB of header lines
  };
  for (const auto& c : cases) {
    const HttpRequestRef request = NewRequest();
    request->Open("GET", server.Origin() + c.target, false);
    request->Send(Text());
    EXPECT_EQ(request->LastFailure(), c.failure) << c.target;
    EXPECT_EQ(request->ResponseBody().size(), c.failure == HttpFailure::None ? 1000u : 0u) << c.target;
    if (c.failure != HttpFailure::None) {
      EXPECT_EQ(request->Status(), 0) << c.target;
    }
  }
  SetHttpBodyLimit(before);
}

TEST(HttpRequestTest, AStopRequestEndsTheWaitAtOnceAndSendsNothingMore) {
  Reply silent = Reply::Text("late");
  silent.delayBeforeHead = std::chrono::seconds(20);
  LoopbackServer server([&](const RecordedRequest&) { return silent; });
  const auto start = std::chrono::steady_clock::now();
  // The user closes the window a moment into the wait.
  SetBusyPump([&] {
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200)) RequestStop();
  });
  const HttpRequestRef request = NewRequest();
  request->Open("GET", server.Origin() + "/", false);
  request->Send(Text());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  SetBusyPump({});
  EXPECT_EQ(request->LastFailure(), HttpFailure::Stopped);
  EXPECT_EQ(request->Status(), 0);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));

  request->Open("GET", server.Origin() + "/next", false);
  request->Send(Text());
  EXPECT_EQ(request->LastFailure(), HttpFailure::Stopped);
  ClearStopRequest();
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(HttpRequestTest, TheEnvironmentsProxyIsNotUsed) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Text("direct"); });
  ::setenv("http_proxy", "http://127.0.0.1:1", 1);
  ::setenv("HTTP_PROXY", "http://127.0.0.1:1", 1);
  const HttpRequestRef request = NewRequest();
  request->Open("GET", server.Origin() + "/", false);
  request->Send(Text());
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  EXPECT_EQ(request->ResponseBody(), B("direct"));
}

// An https server on 127.0.0.1 with a self-signed certificate, made for the
// test: openssl makes the certificate, Python's ssl module serves it.
class UntrustedTlsServer {
 public:
  UntrustedTlsServer() {
    dir_ = std::filesystem::temp_directory_path() / ("quillmere-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    const std::string cert = (dir_ / "cert.pem").string();
    const std::string key = (dir_ / "key.pem").string();
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                             " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" + key +
                             "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) return;
    std::ofstream(dir_ / "serve.py") << R"(import http.server, ssl, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header('Content-Length', '6')
        self.end_headers()
        self.wfile.write(b'secret')
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[1], sys.argv[2])
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
)";
    process_ = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"python3", (dir_ / "serve.py").string(), cert, key});
    if (const auto line = process_->ReadLine(std::chrono::seconds(10))) port_ = std::atoi(line->c_str());
  }
  ~UntrustedTlsServer() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  int Port() const { return port_; }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<test::ChildProcess> process_;
  int port_ = 0;
};

TEST(HttpRequestTest, AnUntrustedCertificateFailsEvenWhenAskedToIgnoreIt) {
  UntrustedTlsServer server;
  ASSERT_GT(server.Port(), 0) << "needs openssl and python3: scripts/deps test";
  const Text url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/";

  const HttpRequestRef request = NewRequest();
  request->SetTimeouts(5000, 5000, 5000, 5000);
  request->Open("GET", url, false);
  request->SetOption(kOptionCertificateErrorsIgnored, 0x3300);
  request->Send(Text());
  EXPECT_EQ(request->LastFailure(), HttpFailure::Certificate);
  EXPECT_EQ(request->Status(), 0);
  EXPECT_TRUE(request->ResponseBody().empty());
  EXPECT_EQ(request->GetAllResponseHeaders(), "");

  Text responseHeaders = "stale";
  std::int32_t status = 99;
  EXPECT_TRUE(WebRequest(url, kMethodGet, {}, nullptr, nullptr, nullptr, &responseHeaders, &status, false, {}, {}, 5,
                         {}, {}, 1, request)
                  .empty());
  EXPECT_EQ(request->LastFailure(), HttpFailure::Certificate);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(responseHeaders, "");
}

}  // namespace
}  // namespace qm
