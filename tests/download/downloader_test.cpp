// DownloadToMemory against a real HTTP server on 127.0.0.1.
#include "download/downloader.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "download/progress.h"
#include "platform/codepage.h"
#include "platform/internet.h"
#include "tests/support/recording_form.h"
#include "tests/support/compression.h"
#include "tests/support/loopback_server.h"

namespace qm {
namespace {

using test::Compress;
using test::Compression;
using test::LoopbackServer;
using test::RecordedRequest;
using test::RecordingForm;
using test::Reply;
using namespace std::chrono_literals;

struct Call {
  std::int32_t total, received, elapsed, sinceStart;
};

// One download, with the callback recording its arguments and moving the bar
// as the download command does.
struct Download {
  RecordingForm form;
  std::vector<Call> calls;
  Bytes body;
  bool complete = false;

  Download(const std::string& url, std::optional<std::int32_t> startOffset = std::nullopt) {
    body = DownloadToMemory(
        url, form,
        [this](std::int32_t total, std::int32_t received, std::int32_t elapsed, std::int32_t sinceStart) {
          calls.push_back({total, received, elapsed, sinceStart});
          ShowProgress(form, total, received, elapsed, sinceStart);
        },
        startOffset, &complete);
  }
  std::string BodyText() const { return std::string(body.begin(), body.end()); }
};

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return s;
}

// Text that compresses, but not to nothing.
std::string Compressible(std::size_t size) {
  std::string s;
  for (int line = 0; s.size() < size; ++line) s += "line " + std::to_string(line * 7919 % 100003) + " of the file\n";
  s.resize(size);
  return s;
}

Reply Binary(std::string body) { return Reply::Text(std::move(body), "application/octet-stream"); }

// Shorter bounds for one test, restored after it.
class ShortTimeouts {
 public:
  explicit ShortTimeouts(std::chrono::milliseconds stall)
      : before_(SetInternetTimeouts({std::chrono::milliseconds(2000), stall})) {}
  ~ShortTimeouts() { SetInternetTimeouts(before_); }

 private:
  InternetTimeouts before_;
};

// Every piece is 1024 bytes, the last 1..1024, whatever the packets were;
// no elapsed time is 0.
void ExpectFullPieces(const std::vector<Call>& calls) {
  std::int32_t before = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::int32_t piece = calls[i].received - before;
    if (i + 1 < calls.size()) {
      EXPECT_EQ(piece, 1024) << i;
    } else {
      EXPECT_GT(piece, 0);
      EXPECT_LE(piece, 1024);
    }
    EXPECT_NE(calls[i].elapsed, 0);
    before = calls[i].received;
  }
}

TEST(DownloadToMemoryTest, SendsTheFixedHeadersAndShowsEveryPiece) {
  const std::string body = Pattern(1536);
  LoopbackServer server([&](const RecordedRequest&) { return Binary(body); });
  Download run(server.Origin() + "/files/a.bin");

  ASSERT_TRUE(run.complete);
  EXPECT_EQ(run.BodyText(), body);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/files/a.bin");
  EXPECT_EQ(requests[0].head, "GET /files/a.bin HTTP/1.1\r\n"
                              "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"
                              "Accept: */*\r\n"
                              "Accept-Language: zh-cn\r\n"
                              "Accept-Encoding: gzip, deflate\r\n"
                              "User-Agent: Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)\r\n");

  // 1024 + 512: the label, then the callback, after each piece.
  ASSERT_EQ(run.calls.size(), 2u);
  EXPECT_EQ(run.calls[0].total, 1536);
  EXPECT_EQ(run.calls[0].received, 1024);
  EXPECT_EQ(run.calls[0].sinceStart, 1024);
  EXPECT_EQ(run.calls[1].received, 1536);
  EXPECT_EQ(run.calls[1].sinceStart, 1536);
  ExpectFullPieces(run.calls);
  std::vector<Control> order;
  for (const auto& e : run.form.entries) order.push_back(e.control);
  EXPECT_EQ(order, (std::vector<Control>{Control::透明标签1, Control::进度条1, Control::透明标签2, Control::透明标签1,
                                         Control::进度条1, Control::透明标签2}));
  EXPECT_EQ(run.form.TextsOf(Control::透明标签1), (std::vector<std::string>{"Size：0 MB", "Size：0 MB"}));
  EXPECT_EQ(run.form.TextsOf(Control::透明标签2), (std::vector<std::string>{"进度：66.66%", "进度：100%"}));
  EXPECT_TRUE(run.form.Messages().empty());
}

TEST(DownloadToMemoryTest, SizeLabelEndsWithTheMegabytesReceived) {
  const struct {
    std::size_t size;
    const char* label;
  } cases[] = {{1048576, "Size：1 MB"}, {1572864, "Size：1.5 MB"}, {5505024, "Size：5.25 MB"},
               {1043333, "Size：0.99 MB"}, {1043334, "Size：1 MB"}};  // 0.994999… and 0.995000… MB
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string body = Pattern(c.size);
    LoopbackServer server([&](const RecordedRequest&) { return Binary(body); });
    Download run(server.Origin() + "/big");
    ASSERT_TRUE(run.complete);
    EXPECT_EQ(run.body.size(), c.size);
    EXPECT_TRUE(run.BodyText() == body);
    const auto labels = run.form.TextsOf(Control::透明标签1);
    EXPECT_EQ(labels.size(), (c.size + 1023) / 1024);
    EXPECT_EQ(labels.back(), c.label);
    ASSERT_FALSE(run.calls.empty());
    EXPECT_EQ(run.calls.back().received, static_cast<std::int32_t>(c.size));
    EXPECT_EQ(run.calls.back().total, static_cast<std::int32_t>(c.size));
    ExpectFullPieces(run.calls);
    EXPECT_EQ(run.form.TextsOf(Control::透明标签2).back(), "进度：100%");
  }
}

TEST(DownloadToMemoryTest, BodyWithoutContentLengthHasTotalZero) {
  const std::string body = Pattern(5000);
  for (const bool chunked : {false, true}) {
    SCOPED_TRACE(chunked ? "chunked" : "ended by closing");
    LoopbackServer server([&](const RecordedRequest&) {
      Reply r = Binary(body);
      r.contentLength = false;
      r.chunked = chunked;
      r.pieceSize = 1500;
      return r;
    });
    Download run(server.Origin() + "/x");
    ASSERT_TRUE(run.complete);
    EXPECT_EQ(run.BodyText(), body);
    ASSERT_EQ(run.calls.size(), 5u);
    ExpectFullPieces(run.calls);
    for (const Call& c : run.calls) EXPECT_EQ(c.total, 0);
    EXPECT_EQ(run.calls.back().received, 5000);
    EXPECT_EQ(run.form.TextsOf(Control::透明标签2).back(), "进度：0%");
  }
}

TEST(DownloadToMemoryTest, CompressedBodyIsSavedDecodedAndTheBarEndsFull) {
  const std::string original = Compressible(300000);
  const struct {
    const char* coding;
    Compression format;
    bool chunked;
  } cases[] = {{"gzip", Compression::kGzip, false},
               {"x-gzip", Compression::kGzip, false},
               {"deflate", Compression::kZlib, false},
               {"deflate", Compression::kRawDeflate, false},
               {"gzip", Compression::kGzip, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.coding) + (c.chunked ? " chunked" : ""));
    const std::string coded = Compress(original, c.format);
    ASSERT_LT(coded.size(), original.size() / 2);
    LoopbackServer server([&](const RecordedRequest&) {
      Reply r = Binary(coded);
      r.headers.emplace_back("Content-Encoding", c.coding);
      r.chunked = c.chunked;
      r.pieceSize = 4000;  // the decoder meets the stream in parts
      r.pieceDelay = 1ms;
      return r;
    });
    Download run(server.Origin() + "/c");
    ASSERT_TRUE(run.complete);
    EXPECT_TRUE(run.BodyText() == original);
    ASSERT_FALSE(run.calls.empty());
    // The announced length counts coded bytes, and so does `received`.
    const auto announced = c.chunked ? 0 : static_cast<std::int32_t>(coded.size());
    std::int32_t before = 0;
    for (const Call& call : run.calls) {
      EXPECT_EQ(call.total, announced);
      EXPECT_GE(call.received, before);
      before = call.received;
    }
    EXPECT_EQ(run.calls.back().received, static_cast<std::int32_t>(coded.size()));
    EXPECT_EQ(run.form.TextsOf(Control::透明标签2).back(), c.chunked ? "进度：0%" : "进度：100%");
    // The size label counts the file, after every piece of 1024 bytes.
    EXPECT_EQ(run.form.TextsOf(Control::透明标签1).size(), (original.size() + 1023) / 1024);
    EXPECT_EQ(run.form.TextsOf(Control::透明标签1).back(), "Size：0.29 MB");
  }
}

TEST(DownloadToMemoryTest, BodyThatCannotBeDecodedFails) {
  const std::string coded = Compress(Compressible(100000), Compression::kGzip);
  const struct {
    const char* name;
    const char* coding;
    std::string body;
  } cases[] = {{"not gzip at all", "gzip", Pattern(3000)},
               {"gzip cut short", "gzip", coded.substr(0, coded.size() / 2)},
               {"a coding never asked for", "br", Pattern(3000)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server([&](const RecordedRequest&) {
      Reply r = Binary(c.body);
      r.headers.emplace_back("Content-Encoding", c.coding);
      return r;
    });
    Download run(server.Origin() + "/c");
    EXPECT_FALSE(run.complete);
    EXPECT_TRUE(run.body.empty());
    EXPECT_EQ(run.form.Messages(), std::vector<std::string>{"信息：|下载失败!"});
  }
}

TEST(DownloadToMemoryTest, StartOffsetAddsTheRangeLine) {
  const std::string body = Pattern(700);
  LoopbackServer server([&](const RecordedRequest&) {
    Reply r = Binary(body);
    r.status = 206;
    r.headers.emplace_back("Content-Range", "bytes 100-799/800");
    return r;
  });
  Download run(server.Origin() + "/part", 100);
  ASSERT_TRUE(run.complete);
  EXPECT_EQ(run.BodyText(), body);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& head = requests[0].head;
  const std::string fixedEnd = "User-Agent: Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)\r\n";
  EXPECT_NE(head.find(fixedEnd + "Range:bytes=100-\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.substr(head.size() - 18), "Range:bytes=100-\r\n");
  ASSERT_EQ(run.calls.size(), 1u);
  EXPECT_EQ(run.calls[0].received, 700);
  EXPECT_EQ(run.calls[0].sinceStart, 600);
  EXPECT_EQ(run.calls[0].total, 700);
}

TEST(DownloadToMemoryTest, EmptyBodyIsACompleteDownloadThatShowsNothing) {
  LoopbackServer server([](const RecordedRequest&) { return Binary(""); });
  Download run(server.Origin() + "/empty");
  EXPECT_TRUE(run.complete);
  EXPECT_TRUE(run.body.empty());
  EXPECT_TRUE(run.calls.empty());
  EXPECT_TRUE(run.form.entries.empty());
}

TEST(DownloadToMemoryTest, RedirectsAreFollowed) {
  LoopbackServer server([](const RecordedRequest& r) {
    return r.target == "/moved" ? Reply::Redirect(302, "/real") : Binary("the file");
  });
  Download run(server.Origin() + "/moved");
  ASSERT_TRUE(run.complete);
  EXPECT_EQ(run.BodyText(), "the file");
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(DownloadToMemoryTest, ErrorStatusesAndBrokenTransfersFail) {
  const struct {
    const char* name;
    Reply reply;
    bool showsPieces;
  } cases[] = {
      {"404", Reply::Status(404, "<html>Not Found</html>"), false},
      {"500", Reply::Status(500, std::string(3000, 'e')), false},
      {"dropped half-way", [] {
         Reply r = Binary(Pattern(4096));
         r.dropAfter = 2000;
         return r;
       }(), true},
      {"chunked, dropped half-way", [] {
         Reply r = Binary(Pattern(4096));
         r.chunked = true;
         r.pieceSize = 1000;
         r.dropAfter = 2000;
         return r;
       }(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server([&](const RecordedRequest&) { return c.reply; });
    Download run(server.Origin() + "/f");
    EXPECT_FALSE(run.complete);
    EXPECT_TRUE(run.body.empty());
    EXPECT_EQ(run.form.Messages(), std::vector<std::string>{"信息：|下载失败!"});
    EXPECT_EQ(!run.calls.empty(), c.showsPieces);
  }
}

TEST(DownloadToMemoryTest, StallsAreCutOffByTheBound) {
  ShortTimeouts bounds(300ms);
  const struct {
    const char* name;
    Reply reply;
    const char* message;
  } cases[] = {
      {"silent after the first piece", [] {
         Reply r = Binary(Pattern(4096));
         r.pieceSize = 1024;
         r.pieceDelay = 20s;
         return r;
       }(), "信息：|下载失败!"},
      {"silent before the head", [] {
         Reply r = Binary("late");
         r.delayBeforeHead = 20s;
         return r;
       }(), "信息：|不能打开该URL!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server([&](const RecordedRequest&) { return c.reply; });
    const auto start = std::chrono::steady_clock::now();
    Download run(server.Origin() + "/slow");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(run.complete);
    EXPECT_TRUE(run.body.empty());
    EXPECT_EQ(run.form.Messages(), std::vector<std::string>{c.message});
  }
}

// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST(DownloadToMemoryTest, AddressesThatCannotBeOpened) {
  LoopbackServer server([](const RecordedRequest&) { return Reply::Redirect(302, "file:///etc/hostname"); });
  const std::string urls[] = {
      "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a.zip",
      "",
      "not an address",
      "file:///etc/hostname",
      "ftp://127.0.0.1/a.zip",
      server.Origin() + "/to-a-local-file",
  };
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    Download run(url);
    EXPECT_FALSE(run.complete);
    EXPECT_TRUE(run.body.empty());
    EXPECT_EQ(run.form.Messages(), std::vector<std::string>{"信息：|不能打开该URL!"});
    EXPECT_TRUE(run.calls.empty());
  }
}

}  // namespace
}  // namespace qm
