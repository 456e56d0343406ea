#include "download/progress.h"

#include <gtest/gtest.h>

#include "platform/numbers.h"
#include "tests/support/recording_form.h"

namespace qm {
namespace {

using test::RecordingForm;

TEST(ShowProgressTest, MovesTheBarAndShowsThePercentAsStored) {
  const struct {
    std::int32_t total, received;
    std::int32_t written;  // the position written to the bar
    const char* label;
  } cases[] = {
      {0, 0, 0, "进度：0%"},               // no announced length
      {0, 5000, 0, "进度：0%"},
      {100, 100, 10000, "进度：100%"},
      {3, 1, 3333, "进度：33.33%"},
      {3, 2, 6666, "进度：66.66%"},         // truncated, not rounded
      {1000000, 1, 0, "进度：0%"},
      {200, 1, 50, "进度：0.5%"},
      {10000, 5, 5, "进度：0.05%"},
      {10000, 5023, 5023, "进度：50.23%"},
      {100, 150, 15000, "进度：150%"},      // more than announced
      {1, 4, 40000, "进度：327.67%"},       // stored as 32767
      {1, 2147483647, 2147483647, "进度：327.67%"},
      // Counts beyond 2 GiB arrive wrapped to negative numbers.
      {-1294967296, 1500000000, 5000, "进度：50%"},          // 1.5 of 3 GB
      {-1294967296, -1294967296, 10000, "进度：100%"},       // 3 of 3 GB
      {-1, -2, 9999, "进度：99.99%"},                        // just short of 4 GiB
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.received << " of " << c.total);
    RecordingForm form;
    ShowProgress(form, c.total, c.received, /*elapsedMs=*/10, /*receivedSinceStart=*/c.received);
    ASSERT_EQ(form.entries.size(), 2u);
    EXPECT_EQ(form.entries[0].kind, RecordingForm::Kind::kPosition);
    EXPECT_EQ(form.entries[0].control, Control::进度条1);
    EXPECT_EQ(form.entries[0].number, c.written);
    EXPECT_EQ(form.TextsOf(Control::透明标签2), std::vector<std::string>{c.label});
  }
}

TEST(ShowProgressTest, HundredthsAreWrittenAsPrintfWouldWriteThem) {
  for (std::int64_t v = -40000; v <= 40000; ++v) {
    ASSERT_EQ(FormatHundredths(v), FormatNumber(static_cast<double>(v) / 100.0)) << v;
  }
  for (const std::int64_t v : {std::int64_t{2147483647}, std::int64_t{-2147483647} - 1, std::int64_t{123456789012},
                               std::int64_t{1} << 40, std::int64_t{99999999999999}}) {
    EXPECT_EQ(FormatHundredths(v), FormatNumber(static_cast<double>(v) / 100.0)) << v;
  }
}

}  // namespace
}  // namespace qm
