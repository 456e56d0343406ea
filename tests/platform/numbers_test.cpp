#include "platform/numbers.h"

#include <gtest/gtest.h>

#include <limits>

namespace qm {
namespace {

TEST(NumbersTest, TruncationTowardZeroAndNonFiniteAsZero) {
  EXPECT_EQ(TruncateToInt32(2.9), 2);
  EXPECT_EQ(TruncateToInt32(-2.9), -2);
  EXPECT_EQ(TruncateToInt32(std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(TruncateToInt32(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(TruncateToInt32(1e20), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(TruncateToInt64(-1e30), std::numeric_limits<std::int64_t>::min());
}

TEST(NumbersTest, RoundingIsHalfAwayFromZeroWithTheNudge) {
  EXPECT_EQ(RoundHalfAway(0.125, 2), 0.13);
  EXPECT_EQ(RoundHalfAway(-0.125, 2), -0.13);
  EXPECT_EQ(RoundHalfAway(2.675, 2), 2.68);  // 2.67499999... in binary
  EXPECT_EQ(RoundHalfAway(1.004, 2), 1.0);
  EXPECT_EQ(RoundHalfAway(5.25, 2), 5.25);
}

TEST(NumbersTest, FormatsWithThirteenSignificantDigits) {
  EXPECT_EQ(FormatNumber(0), "0");
  EXPECT_EQ(FormatNumber(1.5), "1.5");
  EXPECT_EQ(FormatNumber(12), "12");
  EXPECT_EQ(FormatNumber(0.30000000000000004), "0.3");
  EXPECT_EQ(FormatNumber(50.23), "50.23");
  EXPECT_EQ(FormatNumber(-0.05), "-0.05");
  EXPECT_EQ(FormatInteger(-42), "-42");
}

TEST(NumbersTest, TextToIntReadsSignAndLeadingDigits) {
  EXPECT_EQ(TextToInt("42"), 42);
  EXPECT_EQ(TextToInt("  -7x"), -7);
  EXPECT_EQ(TextToInt("+3"), 3);
  EXPECT_EQ(TextToInt("x1"), 0);
  EXPECT_EQ(TextToInt(""), 0);
  EXPECT_EQ(TextToInt("99999999999"), std::numeric_limits<std::int32_t>::max());
}

}  // namespace
}  // namespace qm
