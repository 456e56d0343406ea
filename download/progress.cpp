#include "download/progress.h"

#include "platform/codepage.h"
#include "platform/numbers.h"

namespace qm {

Text FormatHundredths(std::int64_t hundredths) {
  // Beyond this "%.13g" may switch to an exponent; it is far beyond a bar's range.
  constexpr std::int64_t kPlain = std::int64_t{1} << 40;
  if (hundredths <= -kPlain || hundredths >= kPlain) return FormatNumber(static_cast<double>(hundredths) / 100.0);
  Text out;
  std::int64_t magnitude = hundredths;
  if (magnitude < 0) {
    out.push_back('-');
    magnitude = -magnitude;
  }
  out += std::to_string(magnitude / 100);
  const int fraction = static_cast<int>(magnitude % 100);
  if (fraction != 0) {
    out.push_back('.');
    out.push_back(static_cast<char>('0' + fraction / 10));
    if (fraction % 10 != 0) out.push_back(static_cast<char>('0' + fraction % 10));
  }
  return out;
}

void ShowProgress(Form& form, std::int32_t totalLength, std::int32_t received, std::int32_t /*elapsedMs*/,
                  std::int32_t /*receivedSinceStart*/) {
  static const Text kPrefix = Cp936("进度：");
  // The counts come as 32-bit numbers that wrap beyond 2 GiB; read unsigned,
  // files up to 4 GiB show right. No announced length has no finite
  // quotient, and gives 0.
  const double total = static_cast<std::uint32_t>(totalLength);
  const double got = static_cast<std::uint32_t>(received);
  const std::int32_t position = TruncateToInt32(got * 10000.0 / total);
  form.SetPosition(Control::进度条1, position);
  const std::int32_t stored = form.GetPosition(Control::进度条1);
  form.SetText(Control::透明标签2, kPrefix + FormatHundredths(stored) + "%");
}

}  // namespace qm
