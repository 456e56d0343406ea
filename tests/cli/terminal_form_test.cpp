// The terminal view: what the labels, the progress numbers and the message
// boxes of a download become on a log and on a terminal.
#include "cli/terminal_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "download/progress.h"
#include "platform/codepage.h"

namespace qm {
namespace {

constexpr std::int32_t kMiB = 1048576;

// One piece as the download command delivers it: the size label, the
// progress display, then the observer.
void Piece(TerminalForm& form, const char* sizeLabel, std::int32_t total, std::int32_t received,
           std::int32_t elapsedMs) {
  form.SetText(Control::透明标签1, Cp936(sizeLabel));
  ShowProgress(form, total, received, elapsedMs, received);
  form.Progress(total, received, elapsedMs, received);
}

TEST(TerminalFormTest, LogGetsALineASecondAndTheMessages) {
  std::ostringstream out;
  {
    TerminalForm form(out, /*terminal=*/false);
    Piece(form, "Size：0.1 MB", 2 * kMiB, kMiB / 10, 100);  // too soon for a line
    Piece(form, "Size：1 MB", 2 * kMiB, kMiB, 1000);
    Piece(form, "Size：1.5 MB", 2 * kMiB, kMiB * 3 / 2, 1500);
    Piece(form, "Size：2 MB", 2 * kMiB, 2 * kMiB, 2000);
    form.ShowMessage(Cp936("恭喜您，本次更新完毕！"), Cp936("更新完毕"));

    // The next download starts a new line; without a length there is no
    // percent and no time left, and the last state is shown at its end.
    Piece(form, "Size：0.5 MB", 0, kMiB / 2, 500);
    EXPECT_EQ(form.MessagesShown(), 1);
  }
  EXPECT_EQ(out.str(),
            "Size：1 MB  进度：50%  1.00 MB/s  0:01 left\n"
            "Size：2 MB  进度：100%  1.00 MB/s  0:00 left\n"
            "恭喜您，本次更新完毕！\n"
            "Size：0.5 MB  1.00 MB/s\n");
}

TEST(TerminalFormTest, SpeedFollowsTheLastSecondsUntilTheEnd) {
  std::ostringstream out;
  TerminalForm form(out, /*terminal=*/false);
  // A slow first second, then fast: the line shows the recent speed.
  Piece(form, "Size：0.1 MB", 10 * kMiB, 104858, 100);
  Piece(form, "Size：0.2 MB", 10 * kMiB, 209716, 1100);   // 0.1 MiB in the last second
  Piece(form, "Size：2.2 MB", 10 * kMiB, 2306868, 2100);  // 2.1 MiB in the last two
  Piece(form, "Size：10 MB", 10 * kMiB, 10 * kMiB, 2500);
  form.FinishProgress();  // the average of the whole: 10 MiB in 2.5 s
  EXPECT_EQ(out.str(),
            "Size：0.2 MB  进度：2%  102.4 KB/s  1:38 left\n"
            "Size：2.2 MB  进度：22%  1.05 MB/s  0:08 left\n"
            "Size：10 MB  进度：100%  4.00 MB/s  0:00 left\n");
}

TEST(TerminalFormTest, TerminalLineIsRedrawnInPlaceAndEndedBeforeAMessage) {
  std::ostringstream out;
  TerminalForm form(out, /*terminal=*/true);
  Piece(form, "Size：0.01 MB", 4 * kMiB, 10240, 10);  // the first piece is drawn at once
  Piece(form, "Size：0.02 MB", 4 * kMiB, 20480, 50);  // within 100 ms: not drawn
  Piece(form, "Size：1 MB", 4 * kMiB, kMiB, 1000);
  Piece(form, "Size：1.5 MB", 4 * kMiB, kMiB * 3 / 2, 1050);
  form.ShowMessage(Cp936("下载失败!"));  // the last state first, then the line ends
  EXPECT_EQ(out.str(),
            "\rSize：0.01 MB  进度：0.24%\x1b[K"  // no speed from the first piece
            "\rSize：1 MB  进度：25%  1.00 MB/s  0:03 left\x1b[K"
            "\rSize：1.5 MB  进度：37.5%  1.43 MB/s  0:02 left\x1b[K\n"
            "下载失败!\n");
}

TEST(TerminalFormTest, PositionIsStoredAsTheWindowStoresIt) {
  std::ostringstream out;
  TerminalForm form(out, /*terminal=*/false);
  for (const auto& [written, stored] : {std::pair{5023, 5023}, {-5, 0}, {40000, 32767}}) {
    form.SetPosition(Control::进度条1, written);
    EXPECT_EQ(form.GetPosition(Control::进度条1), stored);
  }
  form.SetText(Control::编辑框2, "http://x/y");
  EXPECT_EQ(form.GetText(Control::编辑框2), "http://x/y");
  EXPECT_EQ(out.str(), "");
}

TEST(TerminalFormTest, SpeedAndTimeLeftTexts) {
  const struct {
    double bytesPerSecond;
    const char* text;
  } speeds[] = {
      {0, "0 B/s"}, {1023, "1023 B/s"}, {1024, "1.0 KB/s"}, {3.4 * kMiB, "3.40 MB/s"}, {NAN, "0 B/s"},
  };
  for (const auto& s : speeds) EXPECT_EQ(FormatSpeed(s.bytesPerSecond), s.text) << s.bytesPerSecond;
  const struct {
    double seconds;
    const char* text;
  } times[] = {
      {0, "0:00"},       {0.2, "0:01"},  {59.5, "1:00"}, {754, "12:34"},
      {3723, "1:02:03"}, {1e7, "--:--"}, {NAN, "--:--"},
  };
  for (const auto& t : times) EXPECT_EQ(FormatTimeLeft(t.seconds), t.text) << t.seconds;
}

}  // namespace
}  // namespace qm
