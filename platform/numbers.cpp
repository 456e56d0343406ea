#include "platform/numbers.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace qm {
namespace {

template <typename Int>
Int Truncate(double value) {
  if (!std::isfinite(value)) return 0;
  const double t = std::trunc(value);
  if (t <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (t >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return static_cast<Int>(t);
}

}  // namespace

std::int32_t TruncateToInt32(double value) { return Truncate<std::int32_t>(value); }
std::int64_t TruncateToInt64(double value) { return Truncate<std::int64_t>(value); }

double RoundHalfAway(double value, int places) {
  if (!std::isfinite(value)) return value;
  // Powers of ten up to 1e22 are exact doubles, as pow gives them; the table
  // spares pow on the size label's path, which runs after every piece.
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const double scale = places >= 0 && places <= 22 ? kPowers[places] : std::pow(10.0, places);
  const double magnitude = std::fabs(value) * scale + 1e-12;
  double whole = std::floor(magnitude);
  if (magnitude - whole >= 0.5) whole += 1.0;
  return std::copysign(whole / scale, value);
}

Text FormatNumber(double value) {
  char buffer[40];
  const int n = std::snprintf(buffer, sizeof buffer, "%.13g", value);
  return Text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

Text FormatInteger(std::int64_t value) { return std::to_string(value); }

std::int32_t TextToInt(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  std::int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > std::int64_t{1} << 32) break;  // far beyond the range already
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

}  // namespace qm
