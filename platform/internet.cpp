// The Internet service over libcurl's multi interface, driven as a pull
// stream: the transfer advances only while a caller waits in OpenUrl or Read,
// and every wait is bounded and keeps the window painted.
#include "platform/internet.h"

#include <curl/curl.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/busy.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct InflateDeleter {
  void operator()(z_stream* stream) const {
    inflateEnd(stream);
    delete stream;
  }
};

// The longest single wait inside a pull, so that the window is pumped often.
constexpr std::chrono::milliseconds kPollSlice{50};
// Decoded bytes made ahead of the reads of a coded body.
constexpr std::size_t kDecodeBatch = 16 * 1024;
// libcurl's receive buffer. Bytes wait between libcurl and the reads in a
// buffer of ours that grows to what one pass of libcurl delivers (many of
// these); kept small, it stays in the processor's cache, which measured
// faster than larger receive buffers.
constexpr long kReceiveBufferSize = 64 * 1024;

std::mutex g_timeoutsMutex;
InternetTimeouts g_timeouts;

InternetTimeouts CurrentTimeouts() {
  std::lock_guard lock(g_timeoutsMutex);
  return g_timeouts;
}

bool GlobalInit() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

enum class Coding { kIdentity, kGzip, kDeflate, kUnsupported };

InternetError ErrorFor(CURLcode code) {
  switch (code) {
    case CURLE_OK: return InternetError::kNone;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: return InternetError::kBadAddress;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_TOO_MANY_REDIRECTS: return InternetError::kCannotConnect;
    case CURLE_BAD_CONTENT_ENCODING: return InternetError::kBadContent;
    default: return InternetError::kTransferFailed;
  }
}

}  // namespace

std::uint32_t InternetConnectionFlags() {
  std::uint32_t flags = kConnectionLan;
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') flags |= kConnectionProxy;
  }
  return flags;
}

InternetTimeouts SetInternetTimeouts(const InternetTimeouts& timeouts) {
  std::lock_guard lock(g_timeoutsMutex);
  const InternetTimeouts before = g_timeouts;
  g_timeouts = timeouts;
  return before;
}

struct InternetRequest::Transfer {
  std::unique_ptr<CURLM, MultiDeleter> multi;
  std::unique_ptr<CURL, EasyDeleter> easy;
  std::unique_ptr<curl_slist, SlistDeleter> headerList;
  bool added = false;
  InternetTimeouts timeouts;

  // The head of the response being received; a new status line starts over,
  // so after redirects it describes the final response.
  int status = 0;
  bool hasLocation = false;
  bool headComplete = false;
  std::optional<std::int64_t> contentLength;
  std::vector<std::string> codings;

  // Wire bytes of the body not yet handed out or decoded.
  std::vector<std::uint8_t> raw;
  std::size_t rawAt = 0;
  Clock::time_point lastByte = Clock::now();

  bool done = false;
  InternetError failure = InternetError::kNone;

  // Decoding of a coded body: a batch of decoded bytes and the span of coded
  // bytes it was made from, so that reads can say how far the wire is.
  Coding coding = Coding::kIdentity;
  std::unique_ptr<z_stream, InflateDeleter> inflater;
  bool streamEnded = false;
  std::int64_t codedFed = 0;  // coded bytes given to the decoder
  std::vector<std::uint8_t> batch;
  std::size_t batchAt = 0;
  std::int64_t batchCodedStart = 0;
  std::int64_t batchCodedEnd = 0;

  std::int64_t codedRead = 0;

  ~Transfer() {
    if (added) curl_multi_remove_handle(multi.get(), easy.get());
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const std::size_t n = size * count;
    t->Header(std::string_view(data, n));
    return n;
  }

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const std::size_t n = size * count;
    t->raw.insert(t->raw.end(), reinterpret_cast<std::uint8_t*>(data), reinterpret_cast<std::uint8_t*>(data) + n);
    t->headComplete = true;
    t->lastByte = Clock::now();
    return n;
  }

  void Header(std::string_view line) {
    lastByte = Clock::now();
    if (StartsWithIgnoreCase(line, "HTTP/")) {
      status = 0;
      hasLocation = false;
      contentLength.reset();
      codings.clear();
      const std::size_t space = line.find(' ');
      if (space != std::string_view::npos) status = std::atoi(std::string(line.substr(space + 1, 3)).c_str());
      return;
    }
    const std::string_view trimmed = TrimSpaces(line);
    if (trimmed.empty()) {
      // Interim answers and redirects that libcurl follows are not the final head.
      if (status >= 100 && status < 200) return;
      if (status >= 300 && status < 400 && hasLocation) return;
      headComplete = true;
      return;
    }
    const std::size_t colon = trimmed.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view name = TrimSpaces(trimmed.substr(0, colon));
    const std::string_view value = TrimSpaces(trimmed.substr(colon + 1));
    if (StartsWithIgnoreCase(name, "Location") && name.size() == 8) {
      hasLocation = !value.empty();
    } else if (StartsWithIgnoreCase(name, "Content-Length") && name.size() == 14) {
      std::int64_t length = 0;
      bool valid = !value.empty() && value.size() <= 18;
      for (char c : value) {
        if (c < '0' || c > '9') valid = false;
        if (valid) length = length * 10 + (c - '0');
      }
      if (valid) contentLength = length;
    } else if (StartsWithIgnoreCase(name, "Content-Encoding") && name.size() == 16) {
      std::string_view rest = value;
      while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string token(TrimSpaces(rest.substr(0, comma)));
        for (char& c : token) c = LowerAscii(c);
        if (!token.empty() && token != "identity") codings.push_back(token);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
      }
    }
  }

  void Fail(InternetError why) {
    if (failure == InternetError::kNone) failure = why;
    done = true;
  }

  // Advances the transfer until `ready` holds or it ends; false when it
  // ended without `ready`. A wait with no byte for the stall bound fails.
  template <typename Ready>
  bool Pull(const Ready& ready) {
    const Clock::time_point waitStart = Clock::now();
    for (;;) {
      if (ready()) return true;
      if (done) return false;
      int running = 0;
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
        Fail(InternetError::kTransferFailed);
        return ready();
      }
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg == CURLMSG_DONE) {
          done = true;
          if (message->data.result != CURLE_OK) Fail(ErrorFor(message->data.result));
        }
      }
      if (ready()) return true;
      if (done) return false;
      const Clock::time_point now = Clock::now();
      if (now - std::max(waitStart, lastByte) >= timeouts.stall) {
        Fail(InternetError::kTimedOut);
        return false;
      }
      PumpWhileBusy();
      if (StopRequested()) {
        Fail(InternetError::kStopped);
        return false;
      }
      curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(kPollSlice.count()), nullptr);
    }
  }

  bool HasRaw() const { return rawAt < raw.size(); }

  void ConsumeRaw(std::size_t n) {
    rawAt += n;
    if (rawAt == raw.size()) {
      raw.clear();
      rawAt = 0;
    }
  }

  // Sets up the decoder for the final head's content coding.
  void ChooseCoding() {
    if (codings.empty()) {
      coding = Coding::kIdentity;
    } else if (codings.size() == 1 && (codings[0] == "gzip" || codings[0] == "x-gzip")) {
      coding = Coding::kGzip;
    } else if (codings.size() == 1 && codings[0] == "deflate") {
      coding = Coding::kDeflate;
    } else {
      coding = Coding::kUnsupported;
    }
  }

  // Decodes the next batch from the coded bytes at hand. False when nothing
  // could be made from them (more input is needed, or the stream is over).
  bool DecodeBatch() {
    if (!inflater) {
      int windowBits = 15 + 16;  // gzip
      if (coding == Coding::kDeflate) {
        // "deflate" should be a zlib stream, but some servers send bare deflate data.
        if (raw.size() - rawAt < 2) return false;
        const unsigned cmf = raw[rawAt], flg = raw[rawAt + 1];
        const bool zlibHeader = (cmf & 0x0F) == 8 && ((cmf << 8) | flg) % 31 == 0;
        windowBits = zlibHeader ? 15 : -15;
      }
      std::unique_ptr<z_stream, InflateDeleter> stream(new z_stream{});
      if (inflateInit2(stream.get(), windowBits) != Z_OK) {
        delete stream.release();  // nothing to end
        Fail(InternetError::kBadContent);
        return false;
      }
      inflater = std::move(stream);
    }
    if (streamEnded) {
      // A gzip body may hold several members one after another.
      if (coding == Coding::kGzip && raw.size() - rawAt >= 2 && raw[rawAt] == 0x1f && raw[rawAt + 1] == 0x8b) {
        inflateReset(inflater.get());
        streamEnded = false;
      } else {
        // Bytes after the end of the stream carry nothing of the file.
        codedFed += static_cast<std::int64_t>(raw.size() - rawAt);
        ConsumeRaw(raw.size() - rawAt);
        return false;
      }
    }
    // What is not served yet moves to the front of the new batch.
    const std::size_t keep = batch.size() - batchAt;
    if (batchAt > 0 && keep > 0) std::memmove(batch.data(), batch.data() + batchAt, keep);
    batch.resize(keep + kDecodeBatch);
    batchAt = 0;
    z_stream& z = *inflater;
    z.next_in = raw.data() + rawAt;
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(raw.size() - rawAt, 1u << 30));
    z.next_out = batch.data() + keep;
    z.avail_out = static_cast<uInt>(kDecodeBatch);
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t consumed = static_cast<std::size_t>(z.next_in - (raw.data() + rawAt));
    const std::size_t produced = kDecodeBatch - z.avail_out;
    batch.resize(keep + produced);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      Fail(InternetError::kBadContent);
      return false;
    }
    if (rc == Z_STREAM_END) streamEnded = true;
    batchCodedStart = codedRead;
    codedFed += static_cast<std::int64_t>(consumed);
    batchCodedEnd = codedFed;
    ConsumeRaw(consumed);
    return produced > 0 || consumed > 0;
  }

  // Fills `buffer` unless the body ends first, so that pieces have the size
  // asked for whatever the sizes of the packets were.
  bool Read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    if (capacity == 0) return failure == InternetError::kNone;
    while (count < capacity) {
      std::size_t got = 0;
      if (!ReadSome(buffer + count, capacity - count, got)) return false;
      if (got == 0) break;
      count += got;
    }
    return true;
  }

  // Hands out what is at hand, waiting only when nothing is.
  bool ReadSome(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    for (;;) {
      if (coding == Coding::kUnsupported) {
        Fail(InternetError::kBadContent);
        return false;
      }
      if (coding == Coding::kIdentity) {
        if (HasRaw()) {
          count = std::min(capacity, raw.size() - rawAt);
          std::memcpy(buffer, raw.data() + rawAt, count);
          ConsumeRaw(count);
          codedRead += static_cast<std::int64_t>(count);
          return true;
        }
      } else {
        // The last decoded byte is held back until the stream's end (its
        // trailer) has been read, so that the read that hands it out can
        // report every coded byte.
        const std::size_t holdBack = streamEnded ? 0 : 1;
        if (batch.size() > batchAt + holdBack) {
          count = std::min(capacity, batch.size() - batchAt - holdBack);
          std::memcpy(buffer, batch.data() + batchAt, count);
          batchAt += count;
          // The coded bytes behind this batch, shared out over its bytes.
          codedRead = batchCodedStart + (batchCodedEnd - batchCodedStart) * static_cast<std::int64_t>(batchAt) /
                                            static_cast<std::int64_t>(batch.size());
          return true;
        }
        if (failure != InternetError::kNone) return false;
        if (HasRaw() && DecodeBatch()) continue;
        if (failure != InternetError::kNone) return false;
      }
      if (done) {
        if (failure != InternetError::kNone) return false;
        if (coding != Coding::kIdentity && codedFed > 0 && !streamEnded) {
          Fail(InternetError::kTransferFailed);  // the coded stream was cut short
          return false;
        }
        codedRead = std::max(codedRead, codedFed);
        return true;
      }
      const std::size_t have = raw.size() - rawAt;
      Pull([this, have] { return raw.size() - rawAt > have; });
      if (failure != InternetError::kNone && raw.size() - rawAt <= have) return false;
    }
  }
};

InternetSession::InternetSession(Text agent, int accessType) : agent_(std::move(agent)), accessType_(accessType) {}

InternetSession::~InternetSession() = default;

std::unique_ptr<InternetSession> InternetSession::Open(const Text& agent, int accessType) {
  if (accessType != kAccessPreconfig && accessType != kAccessDirect && accessType != kAccessPreconfigNoAutoProxy) {
    return nullptr;
  }
  if (!GlobalInit()) return nullptr;
  return std::unique_ptr<InternetSession>(new InternetSession(agent, accessType));
}

std::unique_ptr<InternetRequest> InternetSession::OpenUrl(const Text& url, const Text& headers,
                                                          std::uint32_t /*flags*/, InternetError* why) {
  InternetError ignored;
  InternetError& error = why != nullptr ? *why : ignored;
  error = InternetError::kNone;
  if (url.empty() || url.find('\0') != Text::npos) {
    error = InternetError::kBadAddress;
    return nullptr;
  }
  auto t = std::make_unique<InternetRequest::Transfer>();
  t->timeouts = CurrentTimeouts();
  t->multi.reset(curl_multi_init());
  t->easy.reset(curl_easy_init());
  if (!t->multi || !t->easy) {
    error = InternetError::kCannotConnect;
    return nullptr;
  }
  CURL* easy = t->easy.get();
  // The address goes out as given; only the web protocols are allowed, here
  // and on redirects.
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 20L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, agent_.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t->timeouts.connect.count()));
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  if (accessType_ == kAccessDirect) curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");

  for (std::size_t at = 0; at < headers.size();) {
    std::size_t end = headers.find("\r\n", at);
    if (end == Text::npos) end = headers.size();
    const Text line = headers.substr(at, end - at);
    if (!line.empty()) {
      curl_slist* grown = curl_slist_append(t->headerList.get(), line.c_str());
      if (grown == nullptr) {
        error = InternetError::kCannotConnect;
        return nullptr;
      }
      t->headerList.release();
      t->headerList.reset(grown);
    }
    at = end + 2;
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headerList.get());

  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &InternetRequest::Transfer::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, t.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &InternetRequest::Transfer::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, t.get());

  if (curl_multi_add_handle(t->multi.get(), easy) != CURLM_OK) {
    error = InternetError::kCannotConnect;
    return nullptr;
  }
  t->added = true;
  t->lastByte = Clock::now();

  InternetRequest::Transfer& transfer = *t;
  transfer.Pull([&transfer] { return transfer.headComplete; });
  if (!t->headComplete) {
    error = t->failure == InternetError::kNone ? InternetError::kCannotConnect : t->failure;
    if (error == InternetError::kTransferFailed) error = InternetError::kCannotConnect;
    return nullptr;
  }
  t->ChooseCoding();
  return std::unique_ptr<InternetRequest>(new InternetRequest(std::move(t)));
}

InternetRequest::InternetRequest(std::unique_ptr<Transfer> transfer) : transfer_(std::move(transfer)) {}

InternetRequest::~InternetRequest() = default;

int InternetRequest::Status() const { return transfer_->status; }

std::optional<std::int64_t> InternetRequest::ContentLength() const { return transfer_->contentLength; }

bool InternetRequest::Read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count, InternetError* why) {
  const bool ok = transfer_->Read(buffer, capacity, count);
  if (why != nullptr) *why = ok ? InternetError::kNone : transfer_->failure;
  return ok;
}

std::int64_t InternetRequest::CodedBytesRead() const { return transfer_->codedRead; }

}  // namespace qm
