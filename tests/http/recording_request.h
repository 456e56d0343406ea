// A stand-in for the request object that records every call in order and
// answers with a canned response, for tests that must see the exact calls.
#pragma once

#include <string>
#include <vector>

#include "platform/http_request.h"

namespace qm::test {

class RecordingRequest : public HttpRequest {
 public:
  // Calls as "Member(arg|arg...)".
  std::vector<std::string> calls;
  // The canned response.
  Bytes body;
  Text headers;
  std::int32_t status = 0;

  void SetTimeouts(std::int32_t r, std::int32_t c, std::int32_t s, std::int32_t v) override {
    Record("SetTimeouts", {std::to_string(r), std::to_string(c), std::to_string(s), std::to_string(v)});
  }
  void SetProxy(std::int32_t setting, const Text& server) override {
    Record("SetProxy", {std::to_string(setting), server});
  }
  void SetRequestHeader(const Text& name, const Text& value) override { Record("SetRequestHeader", {name, value}); }
  void Open(const Text& method, const Text& url, bool async) override {
    Record("Open", {method, url, async ? "true" : "false"});
  }
  void SetOption(std::int32_t index, std::int32_t value) override {
    Record("Option", {std::to_string(index), std::to_string(value)});
  }
  void Send(const Text& text) override { Record("Send", {"text", text}); }
  void Send(const Bytes& bytes) override { Record("Send", {"bytes", TextFromBytes(bytes)}); }
  Bytes ResponseBody() override {
    Record("ResponseBody", {});
    return body;
  }
  Text GetAllResponseHeaders() override {
    Record("GetAllResponseHeaders", {});
    return headers;
  }
  std::int32_t Status() override {
    Record("Status", {});
    return status;
  }

  // Only the calls of one member.
  std::vector<std::string> CallsOf(const std::string& member) const {
    std::vector<std::string> out;
    for (const std::string& call : calls) {
      if (call.starts_with(member + "(")) out.push_back(call);
    }
    return out;
  }

 private:
  void Record(const std::string& member, const std::vector<std::string>& args) {
    std::string call = member + "(";
    for (std::size_t i = 0; i < args.size(); ++i) call += (i ? "|" : "") + args[i];
    calls.push_back(call + ")");
  }
};

}  // namespace qm::test
