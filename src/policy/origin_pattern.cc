#include "policy/origin_pattern.h"

#include <regex>
#include <utility>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace trb {
namespace {

// The PCRE2 options every pattern is compiled with. The translation spells out every byte
// set and anchor itself, so no option of PCRE2's own about case, newlines, '.' or '$'
// matters; these keep the work countable: every item calls out (the budget counts the
// calls), nothing is made possessive (so no forward scan runs uncounted), and no start-up
// search runs over the URL before matching.
constexpr uint32_t kCompileOptions = PCRE2_ANCHORED | PCRE2_AUTO_CALLOUT | PCRE2_NO_AUTO_POSSESS |
                                     PCRE2_NO_START_OPTIMIZE | PCRE2_NO_DOTSTAR_ANCHOR |
                                     PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_NEVER_BACKSLASH_C;
// The translation nests two parentheses per level of the tree at most.
constexpr uint32_t kParensNestLimit = 2 * kMaxTreeDepth + 16;
// What one pcre2_match call costs before its first callout, in steps.
constexpr int64_t kStepsPerCall = 8;
// Memory for PCRE2's own backtracking: the interpreter's heap frames (KiB) and the JIT's
// stack. Beyond them the match fails, which fails closed.
constexpr uint32_t kHeapLimitKiB = 16 * 1024;
constexpr size_t kJitStackBytes = 1 << 20;

int OnCallout(pcre2_callout_block* block, void* data) {
  auto* budget = static_cast<PcreBudget*>(data);
  if (block->callout_string != nullptr) {
    // Before a back-reference: comparing it costs its length.
    size_t group = 0;
    for (size_t i = 0; i < block->callout_string_length; ++i)
      group = group * 10 + static_cast<size_t>(block->callout_string[i] - '0');
    if (group < block->capture_top && block->offset_vector[2 * group] != PCRE2_UNSET)
      budget->steps -= static_cast<int64_t>(
          (block->offset_vector[2 * group + 1] - block->offset_vector[2 * group]) / 8);
  } else if (block->callout_number == 1) {
    // An alternative whose ".*$" was dropped ends here; the rest of the URL must hold no
    // line break.
    return block->current_position >= budget->min_end ? 0 : 1;
  }
  return --budget->steps < 0 ? PCRE2_ERROR_CALLOUT : 0;
}

// What a thread needs to run matches, made once per thread.
struct Scratch {
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  // None where PCRE2 has no JIT.
  pcre2_jit_stack* jit_stack = pcre2_jit_stack_create(32 * 1024, kJitStackBytes, nullptr);
  pcre2_match_data* data = nullptr;
  uint32_t data_pairs = 0;

  Scratch() {
    if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
    pcre2_set_heap_limit(context, kHeapLimitKiB);
  }
  ~Scratch() {
    pcre2_match_data_free(data);
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
  }
  pcre2_match_data* DataFor(uint32_t pairs) {
    if (data == nullptr || data_pairs < pairs) {
      pcre2_match_data_free(data);
      data = pcre2_match_data_create(pairs, nullptr);
      data_pairs = pairs;
    }
    return data;
  }
};

}  // namespace

struct OriginPattern::Code {
  pcre2_code* code = nullptr;
  ~Code() { pcre2_code_free(code); }
};

bool BeyondStdRegexBounds(std::string_view rewritten) {
  if (rewritten.size() > kMaxPatternBytes) return true;
  const PatternTree tree = ReadPattern(rewritten);
  return !tree.ok || tree.group_depth > kMaxPatternDepth;
}

OriginPattern::OriginPattern(std::string_view rewritten) {
  if (rewritten.size() > kMaxPatternBytes) return;
  const PatternTree tree = ReadPattern(rewritten);
  if (!tree.ok || tree.group_depth > kMaxPatternDepth) return;
  // std::regex is the judge of validity, so that a pattern covers exactly what it would
  // cover if compiled afresh.
  try {
    const std::regex judge(rewritten.begin(), rewritten.end(),
                           std::regex::ECMAScript | std::regex::icase);
  } catch (const std::exception&) {
    return;
  }
  translation_ = Translate(tree);
  if (!translation_.faithful) return;

  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  pcre2_set_parens_nest_limit(context, kParensNestLimit);
  int error = 0;
  PCRE2_SIZE offset = 0;
  auto code = std::make_unique<Code>();
  code->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translation_.pcre2.data()),
                             translation_.pcre2.size(), kCompileOptions, &error, &offset, context);
  pcre2_compile_context_free(context);
  if (code->code == nullptr) return;                  // too large for PCRE2: covers nothing
  pcre2_jit_compile(code->code, PCRE2_JIT_COMPLETE);  // without the JIT it interprets
  code_ = std::move(code);
  use_ = translation_.re2_able ? Use::kBoth : Use::kPcre2;
}

OriginPattern::~OriginPattern() = default;
OriginPattern::OriginPattern(OriginPattern&&) noexcept = default;
OriginPattern& OriginPattern::operator=(OriginPattern&&) noexcept = default;

OriginPattern::Result OriginPattern::Matches(std::string_view url,
                                             PcreBudget* budget) const noexcept {
  if (use_ == Use::kNever) return Result::kNo;
  budget->steps -= kStepsPerCall;
  if (budget->steps < 0) return Result::kOutOfSteps;
  thread_local Scratch scratch;
  if (scratch.context == nullptr) return Result::kNo;  // out of memory
  pcre2_match_data* data = scratch.DataFor(static_cast<uint32_t>(translation_.captures) + 1);
  if (data == nullptr) return Result::kNo;
  pcre2_set_callout(scratch.context, OnCallout, budget);
  const int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(url.data()), url.size(), 0,
                             0, data, scratch.context);
  if (rc >= 0) return Result::kYes;
  if (rc == PCRE2_ERROR_CALLOUT || budget->steps < 0) return Result::kOutOfSteps;
  return Result::kNo;
}

}  // namespace trb
