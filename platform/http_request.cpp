#include "platform/http_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/busy.h"
#include "platform/codepage.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kDefaultResolveMs = 0;
constexpr std::int32_t kDefaultConnectMs = 60000;
constexpr std::int32_t kDefaultSendMs = 30000;
constexpr std::int32_t kDefaultReceiveMs = 30000;
constexpr long kMaxRedirects = 10;
constexpr int kPollMs = 50;  // the window is pumped at least this often

std::size_t g_bodyLimit = kDefaultHttpBodyLimit;

struct EasyCloser {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiCloser {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct ListCloser {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyCloser>;
using Multi = std::unique_ptr<CURLM, MultiCloser>;
using HeaderList = std::unique_ptr<curl_slist, ListCloser>;

void Append(HeaderList& list, const std::string& line) {
  // On failure the list is left as it was; the header is then simply missing.
  if (curl_slist* grown = curl_slist_append(list.get(), line.c_str())) {
    (void)list.release();
    list.reset(grown);
  }
}

bool EqualsAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return fold(x) == fold(y);
         });
}

bool IsToken(std::string_view name) {
  if (name.empty()) return false;
  constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
  return std::all_of(name.begin(), name.end(), [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kMarks.find(c) != std::string_view::npos;
  });
}

// A line break in a value would start a header of the caller's making.
bool IsSafeValue(std::string_view value) { return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

std::string EncodeAddress(const Text& url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : Cp936ToUtf8(url)) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t extra;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (b0 < 0x80) {
      ++i;
      continue;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      extra = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      extra = 2;
      if (b0 == 0xE0) low = 0xA0;   // overlong
      if (b0 == 0xED) high = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      extra = 3;
      if (b0 == 0xF0) low = 0x90;   // overlong
      if (b0 == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return false;
    }
    i += extra + 1;
  }
  return true;
}

Text LocalHeaderLine(std::string_view line) { return IsValidUtf8(line) ? Utf8ToCp936(line) : Text(line); }

HttpFailure FailureOf(CURLcode code) {
  switch (code) {
    case CURLE_OK: return HttpFailure::None;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT: return HttpFailure::BadAddress;
    case CURLE_COULDNT_RESOLVE_HOST: return HttpFailure::Resolve;
    case CURLE_COULDNT_CONNECT: return HttpFailure::Connect;
    case CURLE_OPERATION_TIMEDOUT: return HttpFailure::Timeout;
    case CURLE_PEER_FAILED_VERIFICATION: return HttpFailure::Certificate;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_PROXY: return HttpFailure::Proxy;
    case CURLE_TOO_MANY_REDIRECTS: return HttpFailure::Redirects;
    case CURLE_ABORTED_BY_CALLBACK: return HttpFailure::Stopped;
    default: return HttpFailure::Transfer;
  }
}

// What one exchange has received so far; libcurl's callbacks write here.
struct Exchange {
  Bytes body;
  std::string headLines;  // header lines of the latest response, each ended by "\r\n"
  Clock::time_point lastActivity = Clock::now();
  curl_off_t sent = 0;
  curl_off_t received = 0;
  bool tooLarge = false;  // a callback refused more; curl then ends the transfer

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* x = static_cast<Exchange*>(self);
    if (size * count > g_bodyLimit - x->body.size()) {
      x->tooLarge = true;
      return 0;
    }
    x->body.insert(x->body.end(), data, data + size * count);
    x->lastActivity = Clock::now();
    return size * count;
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* x = static_cast<Exchange*>(self);
    std::string_view line(data, size * count);
    x->lastActivity = Clock::now();
    if (line.size() > kHttpHeadLimit - x->headLines.size()) {
      x->tooLarge = true;
      return 0;
    }
    // A status line starts a new response (a redirect, an interim 1xx, the
    // proxy's answer to a tunnel): only the last one's headers are kept.
    if (line.starts_with("HTTP/")) {
      x->headLines.clear();
      return size * count;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (!line.empty()) x->headLines.append(line).append("\r\n");
    return size * count;
  }

  static int OnProgress(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    auto* x = static_cast<Exchange*>(self);
    if (received != x->received || sent != x->sent) {
      x->received = received;
      x->sent = sent;
      x->lastActivity = Clock::now();
    }
    return 0;
  }
};

class CurlRequest final : public HttpRequest {
 public:
  CurlRequest(Easy easy, Multi multi) : easy_(std::move(easy)), multi_(std::move(multi)) {}

  void SetTimeouts(std::int32_t resolveMs, std::int32_t connectMs, std::int32_t sendMs,
                   std::int32_t receiveMs) override {
    resolveMs_ = resolveMs > 0 ? resolveMs : kDefaultResolveMs;
    connectMs_ = connectMs > 0 ? connectMs : kDefaultConnectMs;
    sendMs_ = sendMs > 0 ? sendMs : kDefaultSendMs;
    receiveMs_ = receiveMs > 0 ? receiveMs : kDefaultReceiveMs;
  }

  void SetProxy(std::int32_t setting, const Text& server) override {
    proxy_ = setting == kProxyNamed ? Cp936ToUtf8(server) : std::string();
  }

  void SetRequestHeader(const Text& name, const Text& value) override {
    std::string n = Cp936ToUtf8(name);
    std::string v = Cp936ToUtf8(value);
    if (!IsToken(n) || !IsSafeValue(v)) return;
    for (auto& header : headers_) {
      if (EqualsAsciiCase(header.first, n)) {
        header.second = std::move(v);
        return;
      }
    }
    headers_.emplace_back(std::move(n), std::move(v));
  }

  void Open(const Text& method, const Text& url, bool /*async*/) override {
    ClearResponse();
    method_ = Cp936ToUtf8(method);
    url_ = EncodeAddress(url);
    opened_ = IsToken(method_);
  }

  void SetOption(std::int32_t index, std::int32_t value) override {
    // Certificate errors are never ignored, so that nobody on the way can
    // answer in a server's name; the write is accepted and has no effect.
    if (index == kOptionRedirects) followRedirects_ = value != 0;
  }

  void Send(const Text& body) override { SendBody(Cp936ToUtf8(body)); }
  void Send(const Bytes& body) override { SendBody(std::string(body.begin(), body.end())); }

  Bytes ResponseBody() override { return body_; }
  Text GetAllResponseHeaders() override { return responseHeaders_; }
  std::int32_t Status() override { return status_; }
  HttpFailure LastFailure() const override { return failure_; }

 private:
  void ClearResponse() {
    body_.clear();
    responseHeaders_.clear();
    status_ = 0;
  }

  bool HasHeader(std::string_view name) const {
    return std::any_of(headers_.begin(), headers_.end(),
                       [&](const auto& header) { return EqualsAsciiCase(header.first, name); });
  }

  void SendBody(const std::string& body) {
    ClearResponse();
    failure_ = HttpFailure::None;
    if (!opened_) {
      failure_ = HttpFailure::NotOpened;
      headers_.clear();
      return;
    }
    opened_ = false;
    failure_ = StopRequested() ? HttpFailure::Stopped : Perform(body);
    headers_.clear();  // the next request starts with no headers
  }

  // Lines for curl's two header lists: the server's and the proxy's tunnel.
  void BuildHeaderLists(HeaderList& server, HeaderList& tunnel) const {
    const bool tunnelled = !proxy_.empty() && EqualsAsciiCase(url_.substr(0, 6), "https:");
    for (const auto& [name, value] : headers_) {
      const bool blank = value.find_first_not_of(" \t") == std::string::npos;
      // "Name;" is curl's way of sending a header with an empty value.
      const std::string line = blank ? name + ";" : name + ": " + value;
      if (EqualsAsciiCase(name, "Content-Length")) continue;
      if (EqualsAsciiCase(name, "Proxy-Authorization")) {
        // A proxy credential is for the proxy only, never for the server.
        if (proxy_.empty()) continue;
        Append(tunnelled ? tunnel : server, line);
        continue;
      }
      Append(server, line);
    }
    // "Name:" keeps curl from adding a header of its own that the caller did
    // not ask for.
    for (const char* name : {"Accept", "Expect", "Content-Type", "Proxy-Connection"}) {
      if (!HasHeader(name)) Append(server, std::string(name) + ":");
    }
    Append(tunnel, "Proxy-Connection:");
  }

  void SetMethod(CURL* h, const std::string& body) const {
    if (method_ == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
      return;
    }
    if (method_ == "GET" && body.empty()) {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      return;
    }
    // POST keeps curl's own method so that a 301/302/303 turns into a GET as
    // in a browser; every other method is sent as named.
    if (method_ != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method_.c_str());
    if (method_ == "POST" || method_ == "PUT" || !body.empty()) {
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    }
  }

  HttpFailure Perform(const std::string& body) {
    CURL* h = easy_.get();
    curl_easy_reset(h);
    HeaderList server, tunnel;
    BuildHeaderLists(server, tunnel);
    Exchange x;

    const std::int64_t connectBound = std::min<std::int64_t>(
        static_cast<std::int64_t>(resolveMs_) + connectMs_, std::numeric_limits<std::int32_t>::max());
    curl_easy_setopt(h, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, followRedirects_ ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_PROXY, proxy_.c_str());  // "" also shuts out the environment's proxy
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(h, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, server.get());
    curl_easy_setopt(h, CURLOPT_PROXYHEADER, tunnel.get());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectBound));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
#ifdef _WIN32
    curl_easy_setopt(h, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
#endif
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Exchange::OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Exchange::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Exchange::OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &x);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    SetMethod(h, body);

    const CURLcode result = Run(h, x, static_cast<curl_off_t>(body.size()), std::chrono::milliseconds(connectBound));
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_reset(h);  // drops curl's pointers to the lists and the exchange
    if (x.tooLarge) return HttpFailure::TooLarge;
    if (result != CURLE_OK) return FailureOf(result);

    status_ = static_cast<std::int32_t>(code);
    body_ = std::move(x.body);
    for (std::size_t at = 0; at < x.headLines.size();) {
      const std::size_t end = x.headLines.find("\r\n", at);
      responseHeaders_ += LocalHeaderLine(std::string_view(x.headLines).substr(at, end - at));
      responseHeaders_ += "\r\n";
      at = end + 2;
    }
    return HttpFailure::None;
  }

  // Drives the transfer in slices of at most kPollMs, pumping the window in
  // between. curl bounds the connect phase; once connected, the send or the
  // receive time-out bounds every silence. Should the connection never be
  // seen, the two bounds together still end the wait.
  CURLcode Run(CURL* h, Exchange& x, curl_off_t bodySize, std::chrono::milliseconds connectBound) {
    if (curl_multi_add_handle(multi_.get(), h) != CURLM_OK) return CURLE_FAILED_INIT;
    const auto start = Clock::now();
    CURLcode result = CURLE_FAILED_INIT;
    bool connected = false;
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) break;
      if (running == 0) {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
          if (message->msg == CURLMSG_DONE && message->easy_handle == h) result = message->data.result;
        }
        break;
      }
      curl_multi_poll(multi_.get(), nullptr, 0, kPollMs, nullptr);
      PumpWhileBusy();
      if (StopRequested()) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }

      const auto now = Clock::now();
      const std::chrono::milliseconds silence(x.sent < bodySize ? sendMs_ : receiveMs_);
      if (!connected) {
        // A reused connection shows no connect time, only the start of the
        // transfer.
        curl_off_t connectTime = 0, pretransferTime = 0;
        curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connectTime);
        curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &pretransferTime);
        connected = connectTime > 0 || pretransferTime > 0;
        if (connected) x.lastActivity = std::max(x.lastActivity, now);
      }
      if (connected ? now - x.lastActivity > silence : now - start > connectBound + silence) {
        result = CURLE_OPERATION_TIMEDOUT;
        break;
      }
    }
    curl_multi_remove_handle(multi_.get(), h);
    return result;
  }

  Easy easy_;
  Multi multi_;  // holds the connections that later requests may reuse

  std::int32_t resolveMs_ = kDefaultResolveMs;
  std::int32_t connectMs_ = kDefaultConnectMs;
  std::int32_t sendMs_ = kDefaultSendMs;
  std::int32_t receiveMs_ = kDefaultReceiveMs;
  std::string proxy_;
  bool followRedirects_ = true;

  std::vector<std::pair<std::string, std::string>> headers_;  // UTF-8, in the order first set
  std::string method_;
  std::string url_;
  bool opened_ = false;

  Bytes body_;
  Text responseHeaders_;
  std::int32_t status_ = 0;
  HttpFailure failure_ = HttpFailure::None;
};

HttpRequestRef CreateCurlRequest() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ready) return nullptr;
  Easy easy(curl_easy_init());
  Multi multi(curl_multi_init());
  if (!easy || !multi) return nullptr;
  return std::make_shared<CurlRequest>(std::move(easy), std::move(multi));
}

std::function<HttpRequestRef()>& Factory() {
  static std::function<HttpRequestRef()> factory;
  return factory;
}

}  // namespace

HttpRequestRef CreateHttpRequest() { return Factory() ? Factory()() : CreateCurlRequest(); }

void SetHttpRequestFactory(std::function<HttpRequestRef()> factory) { Factory() = std::move(factory); }

std::size_t SetHttpBodyLimit(std::size_t bytes) { return std::exchange(g_bodyLimit, bytes); }

}  // namespace qm
