// A server's answer of arbitrary bytes through the JSON object, as the
// resolver reads it, and arbitrary values stored and read back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/codepage.h"
#include "script/json_object.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  qm::JsonObject json;
  json.Clear();
  json.Parse(input);
  (void)json.GetProperty("dom");
  (void)json.GetProperty("url");
  (void)json.GetType();
  (void)json.Stringify();

  // A plain value is stored exactly: whatever it holds, it reads back the same.
  qm::JsonObject store;
  if (qm::Utf8ToCp936(qm::Cp936ToUtf8(input)) == input) {
    store.SetProperty("k", input);
    if (store.GetProperty("k") != input) __builtin_trap();
    store.AddArrayMember(input, "list");
    if (store.GetArrayMemberText(0, "list") != input) __builtin_trap();
  }
  return 0;
}
