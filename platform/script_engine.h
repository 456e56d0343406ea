// A JavaScript engine for the system's own scripts. Code runs as global code;
// results are read back in the kind the caller asks for. Texts cross in code
// page 936. Nothing throws: a failed evaluation gives the empty value of its
// kind.
//
// The engine has no run-time bound, so only program-made source text may be
// evaluated. Text from outside (a server's answer) enters as a string value
// through CallWithText and is never compiled as code by this layer.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/text.h"

namespace qm {

// Program code compiled once, to be run in many engines of this process.
struct PreparedScript {
  std::string bytecode;
};

class ScriptEngine {
 public:
  static constexpr std::size_t kDefaultHeapLimit = std::size_t{256} << 20;

  // A fresh engine whose heap may not grow beyond `heapLimit` bytes; null when
  // it cannot be made. Like the engines the system's scripts were written
  // for, it has no built-in JSON: the start-up script brings its own.
  static std::unique_ptr<ScriptEngine> Create(std::size_t heapLimit = kDefaultHeapLimit);
  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  // Runs `source` as global code: its functions and var declarations stay.
  // False on a syntax or run-time error, or when memory runs out.
  bool AddCode(const Text& source);
  // The same for code compiled by Prepare, which saves compiling it again.
  bool AddCode(const PreparedScript& script);

  // Compiles `source` as global code for AddCode; nullopt when it does not
  // compile.
  static std::optional<PreparedScript> Prepare(const Text& source);

  // Evaluate `source` in the global scope (var declarations included) and
  // read the value of its last expression.
  // As text: a string unchanged, a boolean "-1" or "0", a number in "%.13g",
  // undefined and null empty, anything else as the script's String() gives it.
  Text EvalText(const Text& source, bool* ok = nullptr);
  // As a number: a number unchanged, a boolean -1 or 0, a numeric string its
  // number; undefined, null and anything else 0.
  double EvalNumber(const Text& source, bool* ok = nullptr);
  // As a boolean: the script's truth value.
  bool EvalBoolean(const Text& source, bool* ok = nullptr);
  // The value is dropped; false when the evaluation failed.
  bool Eval(const Text& source);

  // Evaluates `functionSource` (program code) to a function and calls it with
  // `argument` as a string value. The argument is data: it is never compiled
  // here. The call's result is dropped; false when anything failed.
  bool CallWithText(const Text& functionSource, const Text& argument);

  // Bytes the engine's heap holds now.
  std::size_t HeapInUse() const;

  // False once the engine has met a fatal error; every call then fails.
  bool IsUsable() const;
  // Raises the engine's fatal error, as an internal failure would, so that
  // tests can see the process survive it and the engine turn unusable.
  void RaiseFatalErrorForTesting();

  struct Impl;

 private:
  explicit ScriptEngine(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qm
