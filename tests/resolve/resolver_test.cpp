// The resolver end to end through the real HTTP stack, against the local
// share service.
#include "resolve/resolver.h"

#include <gtest/gtest.h>

#include "app/program_state.h"
#include "platform/codepage.h"
#include "tests/share_service/share_service.h"
#include "tests/support/recording_form.h"

namespace qm {
namespace {

using test::HeaderList;
using test::RecordingForm;
using test::ShareScenario;
using test::ShareService;

constexpr const char* kBrowser =
    "Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/55.0.2883.87 "
    "Safari/537.36";
constexpr const char* kDefaultAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// The headers a request carried, in order, without the two the transport adds.
HeaderList SentHeaders(const test::RecordedRequest& request) {
  HeaderList headers;
  for (const auto& h : request.headers) {
    if (h.first != "Host" && h.first != "Content-Length") headers.push_back(h);
  }
  return headers;
}

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseProgramState();
    form_.SetText(Control::编辑框2, "earlier");
    g_directUrl = "earlier";
  }
  void TearDown() override { ReleaseProgramState(); }

  std::string Publish(const char* name, ShareScenario scenario = ShareScenario::kNormal) {
    return service_.Share({name, "file bytes", scenario});
  }
  void Resolve(const std::string& shareUrl) { ResolveShareLink(Utf8ToCp936(shareUrl), form_); }
  Text Output() { return form_.GetText(Control::编辑框2); }

  ShareService service_;
  RecordingForm form_;
};

TEST_F(ResolverTest, FourRequestsInOrderWithTheirHeadersGiveTheDirectAddress) {
  const std::string share = Publish("setup.zip");
  Resolve(share);

  const std::string frame = service_.FrameAddress(share);
  const std::string probe = service_.ProbeAddress(share);
  const auto log = service_.Log();
  ASSERT_EQ(log.size(), 4u);
  const std::string site = service_.SiteOrigin();

  EXPECT_EQ(log[0].server, "site");
  EXPECT_EQ(log[0].request.method + " " + site.substr(0, site.size() - 1) + log[0].request.target, "GET " + share);
  EXPECT_EQ(SentHeaders(log[0].request),
            (HeaderList{{"User-Agent", kBrowser}, {"Accept", "*/*"}, {"Referer", share}, {"Accept-Language", "zh-cn"}}));

  EXPECT_EQ(log[1].request.method, "GET");
  EXPECT_EQ(site + log[1].request.target.substr(1), frame);
  EXPECT_EQ(SentHeaders(log[1].request),
            (HeaderList{{"User-Agent", kBrowser}, {"Accept", "*/*"}, {"Referer", frame}, {"Accept-Language", "zh-cn"}}));

  EXPECT_EQ(log[2].request.method, "POST");
  EXPECT_EQ(log[2].request.target, "/ajaxm.php");
  EXPECT_EQ(log[2].request.body, service_.FormBody(share));
  EXPECT_EQ(SentHeaders(log[2].request),
            (HeaderList{{"Referer", frame},
                        {"Accept", "*/*"},
                        {"Accept-Language", "zh-cn"},
                        {"User-Agent", kDefaultAgent},
                        {"Content-Type", "application/x-www-form-urlencoded"}}));

  EXPECT_EQ(log[3].server, "download");
  EXPECT_EQ(service_.DownloadOrigin() + log[3].request.target, probe);
  EXPECT_EQ(SentHeaders(log[3].request), (HeaderList{{"Accept", "*/*"},
                                                      {"Referer", probe},
                                                      {"Accept-Language", "zh-cn"},
                                                      {"User-Agent", kDefaultAgent}}));

  const std::string direct = service_.DirectAddress(share);
  EXPECT_NE(direct.find("?sig="), std::string::npos);  // the query string survives
  EXPECT_EQ(Output(), direct);
  EXPECT_EQ(g_directUrl, direct);
  EXPECT_EQ(g_fileName, "setup.zip");
  EXPECT_TRUE(form_.Messages().empty());
}

TEST_F(ResolverTest, ARemovedShareSaysSoAndKeepsTheEarlierAddress) {
  Resolve(Publish("gone.zip", ShareScenario::kNoFrame));
  EXPECT_EQ(form_.Messages(), std::vector<std::string>{"信息：|解析失败"});
  EXPECT_EQ(Output(), "earlier");
  EXPECT_EQ(g_directUrl, "earlier");
  EXPECT_EQ(g_fileName, "gone.zip");
  EXPECT_EQ(service_.Log().size(), 1u);  // nothing more is asked once the frame is missing
}

TEST_F(ResolverTest, AnUnreachableOrEmptyAddressSaysResolveFailed) {
  for (const std::string& share : {std::string(""), std::string("http://127.0.0.1:1/iNothing")}) {
    form_.entries.clear();
    g_fileName = "stale";
    Resolve(share);
    EXPECT_EQ(form_.Messages(), std::vector<std::string>{"信息：|解析失败"}) << share;
    EXPECT_EQ(g_fileName, "") << share;
    EXPECT_EQ(g_directUrl, "earlier") << share;
  }
}

// Failures after the frame are silent: the address box is emptied.
TEST_F(ResolverTest, LaterFailuresEmptyTheAddressWithoutAMessage) {
  struct Case {
    ShareScenario scenario;
    std::size_t requests;  // how far the resolve got
    const char* formBody;  // "" when the service's own form is expected
  } const cases[] = {
      {ShareScenario::kFrameWithoutValues, 3, "action=&file_id=&t=&k="},  // "/file/" cannot be requested
      {ShareScenario::kAnswerNotJson, 3, ""},
      {ShareScenario::kProbeWithoutLocation, 4, ""},
  };
  for (const Case& c : cases) {
    service_.ClearLog();
    g_directUrl = "earlier";
    form_.SetText(Control::编辑框2, "earlier");
    const std::string share = Publish("a.zip", c.scenario);
    Resolve(share);
    const auto log = service_.Log();
    EXPECT_EQ(log.size(), c.requests) << static_cast<int>(c.scenario);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[2].request.body, *c.formBody ? std::string(c.formBody) : service_.FormBody(share));
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(g_directUrl, "");
    EXPECT_EQ(g_fileName, "a.zip");
    EXPECT_TRUE(form_.Messages().empty());
  }
}

TEST_F(ResolverTest, TheLocationHeaderIsTakenNotAContentLocationBeforeIt) {
  const std::string share = Publish("a.zip", ShareScenario::kContentLocationFirst);
  Resolve(share);
  EXPECT_EQ(g_directUrl, service_.DirectAddress(share));
}

TEST_F(ResolverTest, FileNamesInChineseAndPagesInAnotherEncoding) {
  const std::string chinese = Publish("测试文件.zip");
  Resolve(chinese);
  EXPECT_EQ(g_fileName, Cp936("测试文件.zip"));
  EXPECT_EQ(g_directUrl, service_.DirectAddress(chinese));

  // A GBK page is still read as UTF-8: the marker no longer matches, but the
  // frame, plain ASCII, is still found.
  const std::string gbk = Publish("测试.zip", ShareScenario::kOtherEncoding);
  Resolve(gbk);
  EXPECT_EQ(g_fileName, "");
  EXPECT_EQ(g_directUrl, service_.DirectAddress(gbk));
  EXPECT_TRUE(form_.Messages().empty());
}

TEST_F(ResolverTest, ASecondResolveReplacesEverythingAndReusesNothing) {
  const std::string first = Publish("one.zip");
  const std::string second = Publish("two.txt");
  Resolve(first);
  Resolve(second);
  EXPECT_EQ(g_fileName, "two.txt");
  EXPECT_EQ(g_directUrl, service_.DirectAddress(second));
  EXPECT_EQ(Output(), service_.DirectAddress(second));
  const auto log = service_.Log();
  ASSERT_EQ(log.size(), 8u);
  for (const auto& entry : log) EXPECT_FALSE(entry.request.HasHeader("Cookie"));  // the probe set one
}

TEST(RedirectTargetTest, TakesTheLocationLineInAnyCase) {
  const struct {
    const char* headers;
    const char* target;
  } cases[] = {
      {"Server: x\r\nLocation: http://h/f?a=1&b=2\r\nX: y\r\n", "http://h/f?a=1&b=2"},
      {"Content-Location: /meta\r\nLocation: http://h/f\r\n", "http://h/f"},
      {"location: http://h/f\r\n", "http://h/f"},
      {"Location:http://h/f  \r\n", "http://h/f"},
      {"Content-Location: /meta\r\n", ""},
      {"X-Location: http://h/f\r\n", ""},
      {"Location: http://h/f\xCB\r\nX: y\r\n", "http://h/f\xCB"},  // a stray high byte ends no line
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(RedirectTarget(c.headers), c.target) << c.headers;
}

TEST(ServiceOriginTest, TakesSchemeHostAndPortOfTheShareAddress) {
  const struct {
    const char* share;
    const char* origin;
  } cases[] = {
      {"http://127.0.0.1:8080/iAbc", "http://127.0.0.1:8080/"},
      {"HTTPS://Share.Example/iAbc?x=1", "HTTPS://Share.Example/"},
      {"https://share.example", "https://share.example/"},
      {"https://share.example?x", "https://share.example/"},
      {"https://user:pw@share.example/i", "https://share.example/"},
      {"ftp://share.example/i", kDefaultServiceOrigin},
      {"share.example/iAbc", kDefaultServiceOrigin},
      {"https:///iAbc", kDefaultServiceOrigin},
      {"https://a b/i", kDefaultServiceOrigin},
      {"", kDefaultServiceOrigin},
  };
  for (const auto& c : cases) EXPECT_EQ(ServiceOrigin(c.share), c.origin) << c.share;
}

}  // namespace
}  // namespace qm
