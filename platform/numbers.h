// Number rules shared by every routine: arithmetic in double, conversions to
// integers by truncation, "%.13g" as the text form of a double.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"

namespace qm {

// Truncates toward zero; a non-finite value gives 0, values beyond the range
// are held at its ends.
std::int32_t TruncateToInt32(double value);
std::int64_t TruncateToInt64(double value);

// Half away from zero at `places` decimals; the scaled magnitude is nudged by
// 1e-12 first so that 2.675 and friends round as a person expects.
double RoundHalfAway(double value, int places);

// "%.13g": at most 13 significant digits, no trailing zeros.
Text FormatNumber(double value);
Text FormatInteger(std::int64_t value);

// Optional leading white space, an optional sign, decimal digits up to the
// first other byte; no digits give 0.
std::int32_t TextToInt(std::string_view text);

}  // namespace qm
