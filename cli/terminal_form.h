// The window as a terminal shows it. The routines write their controls and
// message boxes through Form; this view turns them into UTF-8 lines on one
// stream (standard error): a message box becomes a line, and the size and
// percent labels, with speed and time left added, become a progress line that
// is redrawn in place on a terminal, or written as a plain line every second
// otherwise.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "platform/form.h"

namespace qm {

class TerminalForm : public Form {
 public:
  // `terminal`: `out` is a terminal, on which a line can be redrawn in place.
  TerminalForm(std::ostream& out, bool terminal);
  ~TerminalForm() override;
  TerminalForm(const TerminalForm&) = delete;
  TerminalForm& operator=(const TerminalForm&) = delete;

  void SetText(Control control, const Text& text) override;
  Text GetText(Control control) override;
  void SetEnabled(Control control, bool enabled) override;
  // Stored limited to 0..kMaxStoredPosition and read back as stored, as the
  // window's bar does, so that the percent label reads the same.
  void SetPosition(Control control, std::int32_t position) override;
  std::int32_t GetPosition(Control control) override;
  using Form::ShowMessage;
  // The message as one line (the caption is left out); a progress line being
  // drawn is finished first.
  void ShowMessage(const Text& message, const Text& caption) override;

  // The progress observer of a download: the numbers of the progress
  // callback, after the labels were written for the same piece. The counts
  // are read as unsigned 32-bit numbers, so files up to 4 GiB show right.
  void Progress(std::int32_t totalLength, std::int32_t received, std::int32_t elapsedMs,
                std::int32_t receivedSinceStart);
  // Ends the progress line of the download under way, showing its last state.
  void FinishProgress();

  // Message boxes shown so far.
  int MessagesShown() const { return messages_; }

 private:
  // `finished`: the whole body is in, or no more is coming.
  void Draw(bool finished);

  std::ostream& out_;
  bool terminal_;
  std::map<Control, Text> texts_;
  std::int32_t storedPosition_ = 0;
  int messages_ = 0;

  // The download under way.
  struct Sample {
    std::int64_t ms;
    std::int64_t bytes;
  };
  bool active_ = false;  // pieces arrived since the last FinishProgress
  bool drawn_ = false;   // the last piece's state is on the screen
  std::int64_t total_ = 0;
  std::int64_t received_ = 0;
  std::int64_t sinceStart_ = 0;
  std::int64_t elapsedMs_ = 0;
  std::int64_t lastDrawMs_ = 0;
  std::deque<Sample> samples_;  // the last few seconds, for the speed
};

// The progress line: the size label, the percent label (when the length is
// known), the speed (when known), and the time left (when it can be told).
// UTF-8. "Size：1.5 MB  进度：50%  1.20 MB/s  0:01 left"
std::string ProgressLine(const Text& sizeLabel, const Text& percentLabel, std::int64_t totalLength,
                         std::int64_t received, std::optional<double> bytesPerSecond);

// "512 B/s", "12.5 KB/s", "3.40 MB/s" (binary units, as the size label's MB).
std::string FormatSpeed(double bytesPerSecond);
// "0:07", "12:34", "1:02:03"; seconds are rounded up, so that "0:00" means done.
std::string FormatTimeLeft(double seconds);

}  // namespace qm
