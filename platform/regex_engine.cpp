#include "platform/regex_engine.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <memory>

namespace qm {
namespace {

struct CompileContextFree {
  void operator()(pcre2_compile_context* p) const { pcre2_compile_context_free(p); }
};
struct CodeFree {
  void operator()(pcre2_code* p) const { pcre2_code_free(p); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* p) const { pcre2_match_context_free(p); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* p) const { pcre2_match_data_free(p); }
};
struct JitStackFree {
  void operator()(pcre2_jit_stack* p) const { pcre2_jit_stack_free(p); }
};

// Patterns come from the program, subjects from the network: these bounds
// keep a page from making one match attempt run or grow without end.
constexpr std::uint32_t kMatchLimit = 10'000'000;
constexpr std::uint32_t kDepthLimit = 1'000'000;
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;
constexpr PCRE2_SIZE kJitStackStart = 32 * 1024;
constexpr PCRE2_SIZE kJitStackMax = 4 * 1024 * 1024;

struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool set = false;
};
using Groups = std::vector<Span>;  // [0] is the whole match

PCRE2_SPTR Units(std::u16string_view s) { return reinterpret_cast<PCRE2_SPTR>(s.data()); }

// Every match of `pattern` in `subject`, or nullopt when the pattern does not
// compile or a match attempt fails for another reason than "no match".
std::optional<std::vector<Groups>> FindMatches(std::u16string_view pattern, bool ignoreCase, bool multiline,
                                               bool global, std::u16string_view subject) {
  std::unique_ptr<pcre2_compile_context, CompileContextFree> compileContext(pcre2_compile_context_create(nullptr));
  if (!compileContext) return std::nullopt;
  // Only a line feed ends a line: "." matches everything else.
  pcre2_set_newline(compileContext.get(), PCRE2_NEWLINE_LF);

  // Closer to JavaScript: "\uhhhh" is a character, "[^]" anything and "[]"
  // nothing, and "$" without the multi-line switch only the very end.
  std::uint32_t options = PCRE2_ALT_BSUX | PCRE2_ALLOW_EMPTY_CLASS | PCRE2_DOLLAR_ENDONLY;
  if (ignoreCase) options |= PCRE2_CASELESS;
  if (multiline) options |= PCRE2_MULTILINE;

  int errorCode = 0;
  PCRE2_SIZE errorOffset = 0;
  std::unique_ptr<pcre2_code, CodeFree> code(pcre2_compile(Units(pattern), pattern.size(), options, &errorCode,
                                                           &errorOffset, compileContext.get()));
  if (!code) return std::nullopt;
  // Without JIT the interpreter runs the pattern; both honour the limits.
  pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);

  std::unique_ptr<pcre2_match_context, MatchContextFree> matchContext(pcre2_match_context_create(nullptr));
  std::unique_ptr<pcre2_match_data, MatchDataFree> data(pcre2_match_data_create_from_pattern(code.get(), nullptr));
  std::unique_ptr<pcre2_jit_stack, JitStackFree> jitStack(
      pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr));
  if (!matchContext || !data) return std::nullopt;
  pcre2_set_match_limit(matchContext.get(), kMatchLimit);
  pcre2_set_depth_limit(matchContext.get(), kDepthLimit);
  pcre2_set_heap_limit(matchContext.get(), kHeapLimitKiB);
  if (jitStack) pcre2_jit_stack_assign(matchContext.get(), nullptr, jitStack.get());

  std::vector<Groups> matches;
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
  const std::uint32_t pairs = pcre2_get_ovector_count(data.get());
  std::size_t start = 0;
  while (start <= subject.size()) {
    const int rc = pcre2_match(code.get(), Units(subject), subject.size(), start, 0, data.get(), matchContext.get());
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) return std::nullopt;
    Groups groups(pairs);
    for (std::uint32_t g = 0; g < pairs && g < static_cast<std::uint32_t>(rc); ++g) {
      if (ovector[2 * g] == PCRE2_UNSET) continue;
      groups[g] = {ovector[2 * g], ovector[2 * g + 1], true};
    }
    const Span whole = groups[0];
    matches.push_back(std::move(groups));
    if (!global) break;
    // As in JavaScript: after an empty match the next search starts one
    // unit further on, so that the loop always moves.
    start = std::max(whole.end > whole.begin ? whole.end : whole.begin + 1, start + 1);
  }
  return matches;
}

std::u16string_view Cut(std::u16string_view subject, const Span& span) {
  if (!span.set || span.end < span.begin) return {};
  return subject.substr(span.begin, span.end - span.begin);
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

void AppendExpanded(std::u16string& out, std::u16string_view replacement, std::u16string_view subject,
                    const Groups& groups) {
  const std::size_t groupCount = groups.size() - 1;
  for (std::size_t i = 0; i < replacement.size(); ++i) {
    const char16_t c = replacement[i];
    if (c != u'$' || i + 1 == replacement.size()) {
      out.push_back(c);
      continue;
    }
    const char16_t next = replacement[i + 1];
    if (next == u'$') {
      out.push_back(u'$');
      ++i;
    } else if (next == u'&') {
      out.append(Cut(subject, groups[0]));
      ++i;
    } else if (next == u'`') {
      out.append(subject.substr(0, groups[0].begin));
      ++i;
    } else if (next == u'\'') {
      out.append(subject.substr(groups[0].end));
      ++i;
    } else if (IsDigit(next)) {
      std::size_t number = next - u'0';
      std::size_t used = 1;
      if (i + 2 < replacement.size() && IsDigit(replacement[i + 2])) {
        const std::size_t two = number * 10 + (replacement[i + 2] - u'0');
        if (two >= 1 && two <= groupCount) number = two, used = 2;
      }
      if (number >= 1 && number <= groupCount) {
        out.append(Cut(subject, groups[number]));
        i += used;
      } else {
        out.push_back(c);
      }
    } else {
      out.push_back(c);
    }
  }
}

}  // namespace

std::optional<RegexMatches> RegexEngine::Execute(std::u16string_view subject) const {
  auto found = FindMatches(pattern_, ignoreCase_, multiline_, global_, subject);
  if (!found) return std::nullopt;
  RegexMatches matches;
  matches.reserve(found->size());
  for (const Groups& groups : *found) {
    RegexMatch match;
    match.value = Cut(subject, groups[0]);
    match.firstIndex = static_cast<std::int32_t>(groups[0].begin);
    for (std::size_t g = 1; g < groups.size(); ++g) match.subMatches.emplace_back(Cut(subject, groups[g]));
    matches.push_back(std::move(match));
  }
  return matches;
}

std::optional<std::u16string> RegexEngine::Replace(std::u16string_view subject,
                                                   std::u16string_view replacement) const {
  auto found = FindMatches(pattern_, ignoreCase_, multiline_, global_, subject);
  if (!found) return std::nullopt;
  std::u16string out;
  std::size_t copied = 0;
  for (const Groups& groups : *found) {
    if (groups[0].begin < copied) continue;
    out.append(subject.substr(copied, groups[0].begin - copied));
    AppendExpanded(out, replacement, subject, groups);
    copied = std::max(copied, groups[0].end);
  }
  out.append(subject.substr(copied));
  return out;
}

}  // namespace qm
