// One JSON value held in a JavaScript engine, in the global variable "da".
// Operations address members by paths in the script's member syntax (a.b,
// list[2].name, [0]); paths and code passed with `asCode` come from the
// program. Texts from outside (a server's answer, a stored value) are data:
// Parse reads JSON, and plain values are stored exactly as given.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/text.h"

namespace qm {

class ScriptEngine;

// What GetType reports; ResetAs takes 0, 4 and 5. No code 3 is produced.
enum JsonValueType : std::int32_t {
  kJsonOther = -1,  // a function and the like, or the expressions failed
  kJsonNull = 0,    // null, or no such member
  kJsonBoolean = 1,
  kJsonNumber = 2,
  kJsonObject = 4,
  kJsonArray = 5,
  kJsonString = 6,
};

class JsonObject {
 public:
  // A fresh engine whose value is an empty object.
  JsonObject();
  // A copy shares the engine of the object copied.
  JsonObject(const JsonObject&) = default;
  JsonObject& operator=(const JsonObject&) = default;
  ~JsonObject();

  // Starts a new engine: the start-up script, then an empty object.
  void InitEngine();

  // Starts on a fresh engine and takes `text` as JSON. False, with the value
  // null, when the text is not JSON or is the JSON null.
  bool Parse(const Text& text);
  // The value as compact JSON.
  Text Stringify();

  // Sets member `key`: `value` as a string, or with `asCode` as the result of
  // evaluating it (empty meaning {}).
  void SetProperty(const Text& key, const Text& value, bool asCode = false);
  void SetPropertyCode(const Text& key, const Text& value);
  void SetNumber(const Text& key, double number);

  double GetNumber(const Text& key);
  Text GetPropertyJson(const Text& key);
  // The member's text: a number in "%.13g", a boolean "-1" or "0", null and
  // missing members empty; with `asJson` its JSON text.
  Text GetProperty(const Text& path, bool asJson = false);

  // A new object holding a copy of the member.
  JsonObject GetObject(const Text& path);
  // Own enumerable members of an object, enumerated indexes of an array; -2
  // for a member that enumerates nothing. An empty path means the value.
  std::int32_t GetMemberCount(const Text& path = {});

  // Appends `value` to the array at `path` (the value itself when empty),
  // which is first made an empty array when it is none.
  void AddArrayMember(const Text& value, const Text& path = {}, bool asCode = false);
  JsonObject GetArrayMemberObject(std::int32_t index, const Text& path = {});
  Text GetArrayMemberText(std::int32_t index, const Text& path = {}, bool asJson = false);
  // These two work on the value itself.
  void SetArrayMember(std::int32_t index, const Text& value, bool asCode = false);
  void RemoveArrayMember(std::int32_t index);
  // Removes element i of the array named before the first "[" of `path`
  // ("a.b[2].c" removes element 2 of a.b).
  void RemoveArrayMemberAt(const Text& path);

  // 0 or 4: an empty object; 5: an empty array; anything else: nothing.
  void ResetAs(std::int32_t type);
  void SetValue(const Text& value, bool asCode = false);
  // True when the member exists and is not null.
  bool HasMember(const Text& key);
  // Replaces `names` with the enumerated names of the member (the value
  // itself when `path` is empty) and returns how many there are.
  std::int32_t GetMemberNames(std::vector<Text>& names, const Text& path = {});
  std::int32_t GetType(const Text& path = {});
  // Makes the value an empty object.
  void Clear();

 private:
  Text Joined(const Text& path) const;
  Text BracketJoined(const Text& path) const;
  Text EvalText(const Text& source);
  double EvalNumber(const Text& source);
  bool EvalBoolean(const Text& source);
  void Eval(const Text& source);

  Text varName;
  std::shared_ptr<ScriptEngine> scriptEngine;
};

}  // namespace qm
