#include "tests/share_service/share_service.h"

#include <cstdio>
#include <map>

#include "platform/codepage.h"

namespace qm::test {
namespace {

std::string PercentEncode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// A deterministic token per share, so logs are readable and stable.
std::string Token(const char* prefix, int n, int salt) {
  static const char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
  std::string out = prefix;
  unsigned value = static_cast<unsigned>(n * 7919 + salt * 104729 + 12345);
  for (int i = 0; i < 10; ++i) {
    out.push_back(kAlphabet[value % (sizeof kAlphabet - 1)]);
    value = value * 1103515245u + 12345u;
  }
  return out;
}

std::map<std::string, std::string> ParseForm(const std::string& body) {
  std::map<std::string, std::string> fields;
  std::size_t at = 0;
  while (at <= body.size()) {
    const std::size_t amp = std::min(body.find('&', at), body.size());
    const std::string pair = body.substr(at, amp - at);
    const std::size_t eq = pair.find('=');
    if (!pair.empty()) fields[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
    at = amp + 1;
  }
  return fields;
}

std::string Size(std::size_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f K", static_cast<double>(bytes) / 1024.0);
  return text;
}

}  // namespace

struct ShareService::Entry {
  ShareFile file;
  std::string id;          // share path without "/"
  std::string frameToken;  // the frame's query
  std::string fileId;
  std::string sign;        // t
  std::string key;         // k
  std::string ajaxToken;   // "url" of the answer
  std::string directPath;  // path and query of the direct address
};

ShareService::ShareService(int sitePort, int downloadPort) {
  site_ = std::make_unique<LoopbackServer>([this](const RecordedRequest& r) { return Site(r); }, sitePort);
  download_ = std::make_unique<LoopbackServer>([this](const RecordedRequest& r) { return Download(r); }, downloadPort);
}

ShareService::~ShareService() {
  // Stop the servers before the entries their handlers read go away.
  site_.reset();
  download_.reset();
}

std::string ShareService::SiteOrigin() const { return site_->Origin() + "/"; }

std::string ShareService::DownloadOrigin() const { return download_->Origin(); }

std::string ShareService::Share(const ShareFile& file) {
  std::lock_guard lock(mutex_);
  const int n = static_cast<int>(entries_.size()) + 1;
  auto entry = std::make_unique<Entry>();
  entry->file = file;
  entry->id = Token("i", n, 1);
  entry->frameToken = Token("", n, 2) + "_c";
  entry->fileId = std::to_string(90210000 + n * 37);
  entry->sign = Token("", n, 3) + Token("", n, 4);
  entry->key = Token("", n, 5);
  entry->ajaxToken = "?" + Token("B", n, 6) + "=" + Token("", n, 7);
  entry->directPath = "/dl/" + Token("", n, 8) + "/" + PercentEncode(file.name) + "?sig=" + Token("", n, 9) +
                      "&e=1767225600";
  const std::string address = SiteOrigin() + entry->id;
  entries_.push_back(std::move(entry));
  return address;
}

const ShareService::Entry* ShareService::Find(const std::string& shareUrl) const {
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_) {
    if (SiteOrigin() + e->id == shareUrl) return e.get();
  }
  return nullptr;
}

std::string ShareService::FrameAddress(const std::string& shareUrl) const {
  const Entry* e = Find(shareUrl);
  return e ? SiteOrigin() + "fn?" + e->frameToken : "";
}

std::string ShareService::FormBody(const std::string& shareUrl) const {
  const Entry* e = Find(shareUrl);
  return e ? "action=downprocess&file_id=" + e->fileId + "&t=" + e->sign + "&k=" + e->key : "";
}

std::string ShareService::ProbeAddress(const std::string& shareUrl) const {
  const Entry* e = Find(shareUrl);
  return e ? DownloadOrigin() + "/file/" + e->ajaxToken : "";
}

std::string ShareService::DirectAddress(const std::string& shareUrl) const {
  const Entry* e = Find(shareUrl);
  return e ? DownloadOrigin() + e->directPath : "";
}

std::vector<ServiceRequest> ShareService::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void ShareService::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

void ShareService::Record(const char* server, const RecordedRequest& request) {
  std::lock_guard lock(mutex_);
  log_.push_back({server, request});
}

Reply ShareService::Site(const RecordedRequest& request) {
  Record("site", request);
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_) {
    const ShareFile& f = e->file;
    if (request.method == "GET" && request.target == "/" + e->id) {
      std::string frame;
      if (f.scenario != ShareScenario::kNoFrame) {
        frame = "  <div class=\"ifr\">\n    <iframe class=\"ifr2\" name=\"" + std::to_string(1700000000 + e->fileId.size()) +
                "\" src=\"/fn?" + e->frameToken +
                "\" frameborder=\"0\" scrolling=\"no\"></iframe>\n  </div>\n";
      } else {
        frame = "  <div class=\"off\">来晚啦...文件取消分享了</div>\n";
      }
      const std::string page =
          "<!DOCTYPE html>\n<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=" +
          std::string(f.scenario == ShareScenario::kOtherEncoding ? "gbk" : "utf-8") + "\" />\n<title>" + f.name +
          " - 网盘</title>\n<link rel=\"stylesheet\" href=\"/css/share.css\">\n<script>var shareid = \"" + e->id +
          "\";</script>\n</head>\n<body>\n<div class=\"top\"><a href=\"/\">首页</a> | <a href=\"/help\">帮助</a></div>\n"
          "<div class=\"d\">\n  <div class=\"d1\">\n    <div class=\"b\"><span>" + f.name +
          "</span></div>\n    <div class=\"n_box\">\n      <div class=\"n_file\">\n"
          "        <span class=\"p7\">文件名字：</span>" + f.name + "<br>\n"
          "        <span class=\"p7\">文件大小：</span>" + Size(f.bytes.size()) + "<br>\n"
          "        <span class=\"p7\">上传时间：</span>2026-11-02<br>\n      </div>\n    </div>\n  </div>\n" +
          frame + "</div>\n</body>\n</html>\n";
      if (f.scenario == ShareScenario::kOtherEncoding) {
        return Reply::Text(Utf8ToCp936(page), "text/html; charset=gbk");
      }
      return Reply::Text(page);
    }
    if (request.method == "GET" && request.target == "/fn?" + e->frameToken) {
      std::string values;
      if (f.scenario == ShareScenario::kFrameWithoutValues) {
        values = "\tvar ajaxup = \"downprocess\";\n\tvar cdownid = 0;\n";
      } else {
        values = "\tvar ajaxup = 'downprocess';\n\tvar cdownid = '" + e->fileId + "';\n\tvar ws_sign = '" + e->sign +
                 "';\n\tvar websignkey = '" + e->key + "';\n";
      }
      const std::string page =
          "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title></title>\n"
          "<script type=\"text/javascript\" src=\"/js/jquery.js\"></script>\n</head>\n<body>\n"
          "<div id=\"go\"><a href=\"javascript:;\" onclick=\"down_p()\">普通下载</a></div>\n"
          "<script type=\"text/javascript\">\n\tvar pgs;\n\tvar pdload = 0;\n\tvar wp_mode = \"web\";\n" + values +
          "\tfunction down_p(){\n\t\t$.ajax({\n\t\t\ttype : 'post',\n\t\t\turl : '/ajaxm.php',\n"
          "\t\t\tdata : { 'action':ajaxup,'file_id':cdownid,'t':ws_sign,'k':websignkey },\n"
          "\t\t\tdataType : 'json',\n\t\t\tsuccess:function(msg){ if(msg.zt == '1'){ "
          "location.href = msg.dom + '/file/' + msg.url; } }\n\t\t});\n\t}\n</script>\n</body>\n</html>\n";
      return Reply::Text(page);
    }
  }
  if (request.method == "POST" && request.target == "/ajaxm.php") {
    const auto fields = ParseForm(request.body);
    for (const auto& e : entries_) {
      const auto field = [&](const char* name) {
        const auto it = fields.find(name);
        return it == fields.end() ? std::string() : it->second;
      };
      if (field("file_id") != e->fileId) continue;
      if (e->file.scenario == ShareScenario::kAnswerNotJson) {
        return Reply::Status(502, "<html><body><h1>502 Bad Gateway</h1></body></html>");
      }
      const bool valid = field("action") == "downprocess" && field("t") == e->sign && field("k") == e->key &&
                         request.Header("Referer") == SiteOrigin() + "fn?" + e->frameToken &&
                         request.Header("Content-Type") == "application/x-www-form-urlencoded";
      if (!valid) break;
      // JSON with escaped slashes, as the service writes it.
      std::string dom = DownloadOrigin();
      std::string escaped;
      for (char c : dom) {
        if (c == '/') escaped += '\\';
        escaped += c;
      }
      return Reply::Text("{\"zt\":1,\"dom\":\"" + escaped + "\",\"url\":\"" + e->ajaxToken + "\",\"inf\":0}",
                         "text/html; charset=utf-8");
    }
    // "sign error" in Chinese, escaped as the service does.
    return Reply::Text("{\"zt\":0,\"inf\":\"\\u9a8c\\u8bc1\\u5931\\u8d25\"}", "text/html; charset=utf-8");
  }
  return Reply::Status(404, "<html><body>404 Not Found</body></html>");
}

Reply ShareService::Download(const RecordedRequest& request) {
  Record("download", request);
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_) {
    const ShareFile& f = e->file;
    if (request.target == "/file/" + e->ajaxToken) {
      if (f.scenario == ShareScenario::kProbeWithoutLocation) {
        return Reply::Text("<html><body>请稍候...</body></html>");
      }
      Reply reply = Reply::Redirect(302, DownloadOrigin() + e->directPath);
      reply.headers.insert(reply.headers.begin(), {"Server", "nginx"});
      reply.headers.emplace_back("Set-Cookie", "down_ip=1; path=/");
      if (f.scenario == ShareScenario::kContentLocationFirst) {
        reply.headers.insert(reply.headers.begin() + 1, {"Content-Location", "/file/meta.html"});
      }
      return reply;
    }
    if (request.target == e->directPath) {
      if (f.scenario == ShareScenario::kFileNotFound) return Reply::Status(404, "<html>404 Not Found</html>");
      Reply reply;
      reply.headers.emplace_back("Content-Type", "application/octet-stream");
      reply.headers.emplace_back("Accept-Ranges", "bytes");
      reply.body = f.bytes;
      if (f.trickle) {
        reply.pieceSize = 16384;
        reply.pieceDelay = std::chrono::milliseconds(8);
      }
      if (f.scenario == ShareScenario::kBreaksHalfway) {
        reply.dropAfter = f.bytes.size() / 2;
        reply.pieceSize = 4096;
      }
      return reply;
    }
  }
  return Reply::Status(404, "<html><body>404 Not Found</body></html>");
}

}  // namespace qm::test
