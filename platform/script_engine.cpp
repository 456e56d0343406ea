#include "platform/script_engine.h"

#include <duktape.h>

#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "platform/numbers.h"

namespace qm {
namespace {

// Duktape keeps strings in CESU-8: every UTF-16 unit on its own, surrogates
// included, so any wide text survives the trip unchanged.
std::string ToCesu8(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size() + wide.size() / 2);
  for (const char16_t u : wide) {
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

bool IsContinuation(std::string_view s, std::size_t at) {
  return at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80;
}

// Also takes four-byte sequences, which the engine keeps for characters that
// reached it as UTF-8; they become surrogate pairs.
std::u16string FromCesu8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    int extra = 0;
    char32_t cp = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if (b0 >= 0xC0 && b0 <= 0xDF) {
      extra = 1, cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      extra = 2, cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      extra = 3, cp = b0 & 0x07;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool whole = true;
    for (int k = 1; k <= extra; ++k) whole = whole && IsContinuation(s, i + k);
    if (!whole) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += 1 + extra;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      out.push_back(u'\uFFFD');
    }
  }
  return out;
}

std::string EngineText(const Text& text) { return ToCesu8(Cp936ToUtf16(text)); }
Text SystemText(std::string_view engineText) { return Utf16ToCp936(FromCesu8(engineText)); }

// The engine's memory: every block carries a header with its size, for the
// limit, and links, so that a heap abandoned after a fatal error can still be
// freed block by block.
struct alignas(std::max_align_t) Block {
  Block* prev;
  Block* next;
  std::size_t size;
};

class Arena {
 public:
  explicit Arena(std::size_t limit) : limit_(limit) { head_.prev = head_.next = &head_; }
  ~Arena() { FreeAll(); }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  void* Allocate(std::size_t size) {
    if (size > limit_ - used_) return nullptr;  // the engine collects garbage and retries, then fails
    auto* block = static_cast<Block*>(std::malloc(sizeof(Block) + size));
    if (block == nullptr) return nullptr;
    block->size = size;
    Link(block);
    used_ += size;
    return block + 1;
  }

  void* Reallocate(void* ptr, std::size_t size) {
    if (ptr == nullptr) return Allocate(size);
    if (size == 0) {
      Free(ptr);
      return nullptr;
    }
    Block* block = static_cast<Block*>(ptr) - 1;
    const std::size_t old = block->size;
    if (size > old && size - old > limit_ - used_) return nullptr;
    Unlink(block);
    auto* moved = static_cast<Block*>(std::realloc(block, sizeof(Block) + size));
    if (moved == nullptr) {
      Link(block);
      return nullptr;
    }
    moved->size = size;
    Link(moved);
    used_ = used_ - old + size;
    return moved + 1;
  }

  void Free(void* ptr) {
    if (ptr == nullptr) return;
    Block* block = static_cast<Block*>(ptr) - 1;
    used_ -= block->size;
    Unlink(block);
    std::free(block);
  }

  void FreeAll() {
    while (head_.next != &head_) Free(head_.next + 1);
  }

  std::size_t used() const { return used_; }

 private:
  void Link(Block* block) {
    block->prev = &head_;
    block->next = head_.next;
    head_.next->prev = block;
    head_.next = block;
  }
  static void Unlink(Block* block) {
    block->prev->next = block->next;
    block->next->prev = block->prev;
  }

  std::size_t limit_;
  std::size_t used_ = 0;
  Block head_{};
};

enum class Want { kNothing, kText, kNumber, kBoolean };

enum class Action {
  kEvaluate,  // evaluate the source, optionally call the result with the argument
  kCompile,   // compile the source as global code and give its bytecode
  kRun,       // run the bytecode in the source as global code
};

// What one evaluation needs and gives; plain data, because a fatal error
// leaves the frames that use it without unwinding them.
struct Request {
  Action action = Action::kEvaluate;
  std::string_view source;
  std::string_view argument;
  bool withArgument = false;
  Want want = Want::kNothing;
  bool ok = false;
  duk_int_t type = DUK_TYPE_UNDEFINED;
  bool fromString = false;
  double number = 0;
  bool boolean = false;
  std::string* text = nullptr;  // receives a string result or the bytecode
};

duk_ret_t Compile(duk_context* ctx, Request* r) {
  duk_compile_lstring(ctx, 0, r->source.data(), r->source.size());
  duk_dump_function(ctx);
  duk_size_t size = 0;
  const void* bytes = duk_require_buffer_data(ctx, -1, &size);
  r->text->assign(static_cast<const char*>(bytes), size);
  return 0;
}

duk_ret_t RunBytecode(duk_context* ctx, Request* r) {
  void* buffer = duk_push_fixed_buffer(ctx, r->source.size());
  std::memcpy(buffer, r->source.data(), r->source.size());
  duk_load_function(ctx);
  duk_call(ctx, 0);
  return 0;
}

// Runs inside the engine's protected call: every error it raises, out of
// memory included, comes back as a failed call.
duk_ret_t Evaluate(duk_context* ctx, void* udata) {
  auto* r = static_cast<Request*>(udata);
  if (r->action == Action::kCompile) return Compile(ctx, r);
  if (r->action == Action::kRun) return RunBytecode(ctx, r);
  duk_eval_lstring(ctx, r->source.data(), r->source.size());
  if (r->withArgument) {
    duk_push_lstring(ctx, r->argument.data(), r->argument.size());
    duk_call(ctx, 1);
  }
  if (duk_is_symbol(ctx, -1)) {
    // Symbols look like strings to the API but hold internal bytes.
    duk_pop(ctx);
    duk_push_undefined(ctx);
  }
  r->fromString = duk_is_string(ctx, -1) != 0;
  switch (r->want) {
    case Want::kNothing:
      break;
    case Want::kText:
      if (duk_check_type_mask(ctx, -1, DUK_TYPE_MASK_OBJECT | DUK_TYPE_MASK_BUFFER | DUK_TYPE_MASK_POINTER |
                                           DUK_TYPE_MASK_LIGHTFUNC)) {
        duk_to_string(ctx, -1);
      }
      break;
    case Want::kNumber:
      if (r->fromString) duk_to_number(ctx, -1);
      break;
    case Want::kBoolean:
      duk_to_boolean(ctx, -1);
      break;
  }
  r->type = duk_get_type(ctx, -1);
  r->number = duk_get_number_default(ctx, -1, 0);
  r->boolean = duk_get_boolean_default(ctx, -1, 0) != 0;
  return 1;
}

}  // namespace

struct ScriptEngine::Impl {
  explicit Impl(std::size_t limit) : arena(limit) {}
  ~Impl() { Close(); }

  using Body = void (*)(Impl&, void*);

  // Every call into the engine goes through here. The engine's fatal handler
  // may not return, so it jumps back to this frame; the heap is then in an
  // unknown state and is dropped block by block, without the engine's help.
  // The frames skipped by the jump hold only plain data.
  bool Guarded(Body body, void* data) {
    std::jmp_buf env;
    guard = &env;
    if (setjmp(env) != 0) {
      guard = nullptr;
      ctx = nullptr;
      arena.FreeAll();
      return false;
    }
    body(*this, data);
    guard = nullptr;
    return true;
  }

  bool Open() {
    Guarded([](Impl& self, void*) {
      self.ctx = duk_create_heap(&Impl::Allocate, &Impl::Reallocate, &Impl::Free, &self, &Impl::OnFatal);
    }, nullptr);
    // The system's scripts were written for an engine that has neither JSON
    // nor Date's toJSON; the start-up script supplies both the way it did there.
    return ctx != nullptr && Run("delete JSON; delete Date.prototype.toJSON;", Want::kNothing);
  }

  void Close() {
    if (ctx == nullptr) return;
    Guarded([](Impl& self, void*) {
      duk_destroy_heap(self.ctx);
      self.ctx = nullptr;
    }, nullptr);
    arena.FreeAll();
  }

  bool Run(Request& r) {
    r.ok = false;
    if (ctx == nullptr) return false;
    Guarded([](Impl& self, void* data) {
      auto& req = *static_cast<Request*>(data);
      req.ok = duk_safe_call(self.ctx, &Evaluate, &req, 0, 1) == DUK_EXEC_SUCCESS;
      if (req.ok && req.type == DUK_TYPE_STRING && req.text != nullptr) {
        duk_size_t size = 0;
        const char* bytes = duk_get_lstring(self.ctx, -1, &size);
        req.text->assign(bytes, size);
      }
      duk_pop(self.ctx);
    }, &r);
    return r.ok;
  }

  bool Run(std::string_view source, Want want) {
    Request r;
    r.source = source;
    r.want = want;
    return Run(r);
  }

  static void* Allocate(void* udata, duk_size_t size) { return static_cast<Impl*>(udata)->arena.Allocate(size); }
  static void* Reallocate(void* udata, void* ptr, duk_size_t size) {
    return static_cast<Impl*>(udata)->arena.Reallocate(ptr, size);
  }
  static void Free(void* udata, void* ptr) { static_cast<Impl*>(udata)->arena.Free(ptr); }
  static void OnFatal(void* udata, const char* /*message*/) {
    // Every call into the engine is guarded, so there is always a frame to
    // return to; returning from here would let the engine abort the process.
    std::longjmp(*static_cast<Impl*>(udata)->guard, 1);
  }

  Arena arena;
  duk_context* ctx = nullptr;
  std::jmp_buf* guard = nullptr;
};

std::unique_ptr<ScriptEngine> ScriptEngine::Create(std::size_t heapLimit) {
  auto impl = std::make_unique<Impl>(heapLimit);
  if (!impl->Open()) return nullptr;
  return std::unique_ptr<ScriptEngine>(new ScriptEngine(std::move(impl)));
}

ScriptEngine::ScriptEngine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ScriptEngine::~ScriptEngine() = default;

bool ScriptEngine::AddCode(const Text& source) { return impl_->Run(EngineText(source), Want::kNothing); }

bool ScriptEngine::AddCode(const PreparedScript& script) {
  Request r;
  r.action = Action::kRun;
  r.source = script.bytecode;
  return impl_->Run(r);
}

std::optional<PreparedScript> ScriptEngine::Prepare(const Text& source) {
  auto engine = Create();
  if (!engine) return std::nullopt;
  const std::string engineSource = EngineText(source);
  PreparedScript script;
  Request r;
  r.action = Action::kCompile;
  r.source = engineSource;
  r.text = &script.bytecode;
  if (!engine->impl_->Run(r)) return std::nullopt;
  return script;
}

bool ScriptEngine::Eval(const Text& source) { return impl_->Run(EngineText(source), Want::kNothing); }

Text ScriptEngine::EvalText(const Text& source, bool* ok) {
  const std::string engineSource = EngineText(source);
  std::string engineText;
  Request r;
  r.source = engineSource;
  r.want = Want::kText;
  r.text = &engineText;
  impl_->Run(r);
  if (ok != nullptr) *ok = r.ok;
  if (!r.ok) return {};
  switch (r.type) {
    case DUK_TYPE_STRING:
      return SystemText(engineText);
    case DUK_TYPE_BOOLEAN:
      return r.boolean ? "-1" : "0";
    case DUK_TYPE_NUMBER:
      if (std::isnan(r.number)) return "NaN";
      if (std::isinf(r.number)) return r.number > 0 ? "Infinity" : "-Infinity";
      return FormatNumber(r.number);
    default:
      return {};
  }
}

double ScriptEngine::EvalNumber(const Text& source, bool* ok) {
  const std::string engineSource = EngineText(source);
  Request r;
  r.source = engineSource;
  r.want = Want::kNumber;
  impl_->Run(r);
  if (ok != nullptr) *ok = r.ok;
  if (!r.ok) return 0;
  switch (r.type) {
    case DUK_TYPE_NUMBER:
      return r.fromString && std::isnan(r.number) ? 0 : r.number;
    case DUK_TYPE_BOOLEAN:
      return r.boolean ? -1 : 0;
    default:
      return 0;
  }
}

bool ScriptEngine::EvalBoolean(const Text& source, bool* ok) {
  const std::string engineSource = EngineText(source);
  Request r;
  r.source = engineSource;
  r.want = Want::kBoolean;
  impl_->Run(r);
  if (ok != nullptr) *ok = r.ok;
  return r.ok && r.boolean;
}

bool ScriptEngine::CallWithText(const Text& functionSource, const Text& argument) {
  const std::string engineSource = EngineText(functionSource);
  const std::string engineArgument = EngineText(argument);
  Request r;
  r.source = engineSource;
  r.argument = engineArgument;
  r.withArgument = true;
  return impl_->Run(r);
}

std::size_t ScriptEngine::HeapInUse() const { return impl_->arena.used(); }

bool ScriptEngine::IsUsable() const { return impl_->ctx != nullptr; }

void ScriptEngine::RaiseFatalErrorForTesting() {
  if (impl_->ctx == nullptr) return;
  impl_->Guarded([](Impl& self, void*) { duk_fatal(self.ctx, "raised for testing"); }, nullptr);
}

}  // namespace qm
