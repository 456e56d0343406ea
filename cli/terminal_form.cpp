#include "cli/terminal_form.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "platform/busy.h"
#include "platform/codepage.h"

namespace qm {
namespace {

// A terminal is redrawn often enough to look live; a log gets a line a second.
constexpr std::int64_t kTerminalIntervalMs = 100;
constexpr std::int64_t kPlainIntervalMs = 1000;
// The speed is taken over the last few seconds, so that it follows a change.
constexpr std::int64_t kSampleSpacingMs = 200;
constexpr std::int64_t kSpeedWindowMs = 5000;
constexpr std::int64_t kShortestWindowMs = 1000;

std::int64_t Unsigned32(std::int32_t value) { return static_cast<std::uint32_t>(value); }

}  // namespace

TerminalForm::TerminalForm(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

TerminalForm::~TerminalForm() { FinishProgress(); }

void TerminalForm::SetText(Control control, const Text& text) { texts_[control] = text; }

Text TerminalForm::GetText(Control control) {
  const auto it = texts_.find(control);
  return it == texts_.end() ? Text() : it->second;
}

void TerminalForm::SetEnabled(Control, bool) {}

void TerminalForm::SetPosition(Control control, std::int32_t position) {
  if (control == Control::进度条1) storedPosition_ = std::clamp(position, 0, kMaxStoredPosition);
}

std::int32_t TerminalForm::GetPosition(Control control) {
  return control == Control::进度条1 ? storedPosition_ : 0;
}

void TerminalForm::ShowMessage(const Text& message, const Text& /*caption*/) {
  FinishProgress();
  ++messages_;
  // After Ctrl-C the failures that follow are the stop's, not news.
  if (StopRequested()) return;
  out_ << Cp936ToUtf8(message) << '\n';
  out_.flush();
}

void TerminalForm::Progress(std::int32_t totalLength, std::int32_t received, std::int32_t elapsedMs,
                            std::int32_t receivedSinceStart) {
  const bool first = !active_;
  if (first) {
    active_ = true;
    samples_.clear();
    lastDrawMs_ = 0;
  }
  total_ = Unsigned32(totalLength);
  received_ = Unsigned32(received);
  sinceStart_ = std::max<std::int64_t>(receivedSinceStart, 0);
  elapsedMs_ = std::max<std::int64_t>(Unsigned32(elapsedMs), 1);
  drawn_ = false;

  if (samples_.empty() || elapsedMs_ - samples_.back().ms >= kSampleSpacingMs) {
    samples_.push_back({elapsedMs_, sinceStart_});
  }
  while (samples_.size() > 1 && elapsedMs_ - samples_.front().ms > kSpeedWindowMs) samples_.pop_front();

  const bool due = terminal_ ? first || elapsedMs_ - lastDrawMs_ >= kTerminalIntervalMs
                             : elapsedMs_ - lastDrawMs_ >= kPlainIntervalMs;
  if (due) Draw(/*finished=*/total_ > 0 && received_ >= total_);
}

void TerminalForm::FinishProgress() {
  if (!active_) return;
  if (!drawn_) Draw(/*finished=*/true);
  if (terminal_) out_ << '\n';
  out_.flush();
  active_ = false;
  drawn_ = false;
}

void TerminalForm::Draw(bool finished) {
  // While the download runs, the speed of the last seconds, once there is a
  // second to go by (a first piece says little); once it ended, the average.
  std::optional<double> speed;
  const Sample& oldest = samples_.front();
  if (finished) {
    speed = static_cast<double>(sinceStart_) * 1000.0 / static_cast<double>(elapsedMs_);
  } else if (elapsedMs_ - oldest.ms >= kShortestWindowMs) {
    speed = static_cast<double>(sinceStart_ - oldest.bytes) * 1000.0 /
            static_cast<double>(elapsedMs_ - oldest.ms);
  } else if (elapsedMs_ >= kShortestWindowMs) {
    speed = static_cast<double>(sinceStart_) * 1000.0 / static_cast<double>(elapsedMs_);
  }
  const std::string line =
      ProgressLine(GetText(Control::透明标签1), GetText(Control::透明标签2), total_, received_, speed);
  if (terminal_) {
    // Back to the start of the line, and clear what a longer line left.
    out_ << '\r' << line << "\x1b[K";
  } else {
    out_ << line << '\n';
  }
  out_.flush();
  drawn_ = true;
  lastDrawMs_ = elapsedMs_;
}

std::string ProgressLine(const Text& sizeLabel, const Text& percentLabel, std::int64_t totalLength,
                         std::int64_t received, std::optional<double> bytesPerSecond) {
  std::string line = Cp936ToUtf8(sizeLabel);
  // Without an announced length the percent label reads 0 and nothing is left to tell.
  if (totalLength > 0) line += "  " + Cp936ToUtf8(percentLabel);
  if (!bytesPerSecond) return line;
  line += "  " + FormatSpeed(*bytesPerSecond);
  if (totalLength > 0 && received <= totalLength && (*bytesPerSecond > 0 || received == totalLength)) {
    const double left =
        received == totalLength ? 0.0 : static_cast<double>(totalLength - received) / *bytesPerSecond;
    line += "  " + FormatTimeLeft(left) + " left";
  }
  return line;
}

std::string FormatSpeed(double bytesPerSecond) {
  char text[48];
  if (!(bytesPerSecond >= 0) || bytesPerSecond < 1024.0) {
    std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond >= 0 ? bytesPerSecond : 0.0);
  } else if (bytesPerSecond < 1048576.0) {
    std::snprintf(text, sizeof text, "%.1f KB/s", bytesPerSecond / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.2f MB/s", std::min(bytesPerSecond, 1e18) / 1048576.0);
  }
  return text;
}

std::string FormatTimeLeft(double seconds) {
  // Beyond a thousand hours the figure says nothing.
  if (!(seconds >= 0) || seconds > 3.6e6) return "--:--";
  const auto whole = static_cast<std::int64_t>(std::ceil(seconds));
  const std::int64_t hours = whole / 3600;
  const std::int64_t minutes = whole / 60 % 60;
  const std::int64_t secs = whole % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(secs));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(minutes),
                  static_cast<long long>(secs));
  }
  return text;
}

}  // namespace qm
