// A Form for tests: keeps what the routines write, stores bar positions the
// way the window does (limited to 0..32767, read back as stored) and records
// every message box instead of showing it.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/form.h"

namespace qm::test {

struct ShownMessage {
  Text text;
  Text caption;
  bool operator==(const ShownMessage&) const = default;
};

class RecordingForm : public Form {
 public:
  using Form::ShowMessage;

  void SetText(Control control, const Text& text) override {
    texts[control] = text;
    ++textWrites[control];
  }
  Text GetText(Control control) override { return texts[control]; }
  void SetEnabled(Control control, bool enabled) override { this->enabled[control] = enabled; }
  void SetPosition(Control control, std::int32_t position) override {
    positions[control] = std::clamp(position, 0, kMaxStoredPosition);
  }
  std::int32_t GetPosition(Control control) override { return positions[control]; }
  void ShowMessage(const Text& message, const Text& caption) override { messages.push_back({message, caption}); }

  std::map<Control, Text> texts;
  std::map<Control, int> textWrites;
  std::map<Control, bool> enabled;
  std::map<Control, std::int32_t> positions;
  std::vector<ShownMessage> messages;
};

}  // namespace qm::test
