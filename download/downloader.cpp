#include "download/downloader.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "download/progress.h"
#include "platform/codepage.h"
#include "platform/internet.h"
#include "platform/memory.h"
#include "platform/numbers.h"
#include "platform/runtime.h"

namespace qm {
namespace {

// The request headers every download sends, in this order.
constexpr std::string_view kRequestHeaders =
    "Accept: */*\r\n"
    "Accept-Language: zh-cn\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "User-Agent: Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)";

constexpr std::size_t kReceiveBufferSize = 10240;
constexpr std::size_t kPieceSize = 1024;
// A Content-Length up to this is trusted to size the body at once; beyond it
// the body grows as it arrives, so a false length cannot claim the memory.
constexpr std::int64_t kMaxReserve = std::int64_t{1} << 30;

// Makes room for `wanted` bytes in one step, on large pages when it is big.
void Reserve(Bytes& body, std::size_t wanted) {
  body.reserve(wanted);
  PreferLargePages(body.data(), body.capacity());
}

// "Size：" + megabytes (through a 32-bit float, 2 decimals) + " MB". The
// number changes every ~10 KB, so the text is remade only when it changes.
class SizeLabel {
 public:
  const Text& For(std::size_t length) {
    const double megabytes = static_cast<double>(static_cast<float>(static_cast<double>(length) / 1048576.0));
    const double rounded = RoundHalfAway(megabytes, 2);
    if (text_.empty() || rounded != shown_) {
      static const Text kPrefix = Cp936("Size：");
      shown_ = rounded;
      // `rounded` is a whole number of hundredths, which FormatHundredths
      // writes as "%.13g" would, without printf.
      text_ = kPrefix + FormatHundredths(std::llround(rounded * 100.0)) + " MB";
    }
    return text_;
  }

 private:
  double shown_ = 0;
  Text text_;
};

// The body in memory, in one buffer that grows without being copied at the end.
class MemorySink : public BodySink {
 public:
  void Expect(std::int64_t length) override {
    if (length > 0 && length <= kMaxReserve) Reserve(body, static_cast<std::size_t>(length));
  }
  bool Append(const std::uint8_t* data, std::size_t size) override {
    if (body.size() + size > body.capacity()) Reserve(body, std::max<std::size_t>(body.capacity() * 2, 64 * 1024));
    body.insert(body.end(), data, data + size);
    return true;
  }
  Bytes body;
};

}  // namespace

Bytes DownloadToMemory(const Text& url, Form& form, const ProgressCallback& progressCallback,
                       std::optional<std::int32_t> startOffset, bool* complete) {
  MemorySink sink;
  const bool whole = DownloadInto(url, form, progressCallback, startOffset, sink) == DownloadResult::kComplete;
  if (complete != nullptr) *complete = whole;
  return whole ? std::move(sink.body) : Bytes{};
}

DownloadResult DownloadInto(const Text& url, Form& form, const ProgressCallback& progressCallback,
                            std::optional<std::int32_t> startOffset, BodySink& sink) {
  static const Text kCannotConnect = Cp936("连接错误!");
  static const Text kCannotOpen = Cp936("不能打开该URL!");
  static const Text kFailed = Cp936("下载失败!");

  const std::uint32_t connection = InternetConnectionFlags();
  const Text agentText = "Agent" + FormatInteger(static_cast<std::int32_t>(TickCount()));
  const int accessType = (connection & kConnectionProxy) == 0 ? kAccessPreconfigNoAutoProxy : kAccessPreconfig;
  const std::unique_ptr<InternetSession> session = InternetSession::Open(agentText, accessType);
  if (!session) {
    form.ShowMessage(kCannotConnect);
    return DownloadResult::kFailed;
  }

  Text requestHeaders(kRequestHeaders);
  if (startOffset) requestHeaders += "\r\nRange:bytes=" + FormatInteger(*startOffset) + "-";

  std::vector<std::uint8_t> receiveBuffer(kReceiveBufferSize, 0);
  const std::unique_ptr<InternetRequest> request =
      session->OpenUrl(url, requestHeaders, kFlagReload | kFlagNoCacheWrite | kFlagPragmaNoCache);
  if (!request) {
    form.ShowMessage(kCannotOpen);
    return DownloadResult::kFailed;
  }
  // An error page is no part of the file.
  if (request->Status() >= 400) {
    form.ShowMessage(kFailed);
    return DownloadResult::kFailed;
  }

  const std::int64_t announced = request->ContentLength().value_or(0);
  const auto totalLength = static_cast<std::int32_t>(static_cast<std::uint32_t>(announced));
  if (announced > 0) sink.Expect(announced);

  const std::int64_t offset = startOffset.value_or(0);
  SizeLabel sizeLabel;
  std::size_t bodyLength = 0;
  const std::uint32_t startTick = TickCount();
  for (;;) {
    std::size_t n = 0;
    if (!request->Read(receiveBuffer.data(), kPieceSize, n)) {
      form.ShowMessage(kFailed);
      return DownloadResult::kFailed;
    }
    if (n == 0) break;
    if (!sink.Append(receiveBuffer.data(), n)) return DownloadResult::kSinkFailed;
    bodyLength += n;
    form.SetText(Control::透明标签1, sizeLabel.For(bodyLength));

    // The bytes as they came over the wire: the same as the body's length
    // unless the body was compressed.
    const std::int64_t receivedCount = request->CodedBytesRead();
    auto elapsedMs = static_cast<std::int32_t>(TickCount() - startTick);
    if (elapsedMs == 0) elapsedMs = 10;
    if (progressCallback) {
      progressCallback(totalLength, static_cast<std::int32_t>(static_cast<std::uint32_t>(receivedCount)), elapsedMs,
                       TruncateToInt32(static_cast<double>(receivedCount - offset)));
    }
  }
  return DownloadResult::kComplete;
}

}  // namespace qm
