// A regular-expression matcher that cannot crash or blow up: ECMAScript patterns, read as
// libstdc++ reads them with ECMAScript | icase in the classic locale, compiled to a Thompson
// NFA and run as a Pike VM. Time is linear in the input, memory is bounded by the program,
// and nothing recurses on the input, so a 2 MB URL is as safe as a short one.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "policy/regex_syntax.h"

namespace trb {

class RegexProgram {
 public:
  // Programs beyond this many instructions are refused (counted repeats multiply).
  static constexpr size_t kMaxInstructions = 1 << 20;

  // Nothing when the pattern is invalid or needs what a linear-time matcher cannot do
  // (back-references, lookahead, bracket classes of the [[:name:]] kind); callers that must
  // honour those fall back to a backtracking engine with their own limits.
  static std::optional<RegexProgram> Compile(std::string_view pattern);

  // Whether the pattern matches the whole of `input` (std::regex_match, case-insensitive).
  bool FullMatch(std::string_view input) const;
  // The same, spending at most `*budget` VM steps (each thread followed at one position) and
  // taking what it spent off `*budget`. A match that runs out answers false: linear time
  // is still program size times input length, and a caller on a UI thread needs a ceiling.
  bool FullMatch(std::string_view input, uint64_t* budget) const;

  size_t size() const { return insts_.size(); }

  enum class Op : uint8_t {
    kSet,    // consume one byte out of sets_[a]
    kSplit,  // continue at a and at b
    kJmp,    // continue at a
    kBegin,  // only at the start of the input
    kEnd,    // only at the end of the input
    kWordBoundary,
    kNotWordBoundary,
    kAnyTail,  // a final ".*$": matches when no '\n' or '\r' is left in the input
    kMatch,    // matches at the end of the input
  };
  struct Inst {
    Op op;
    uint32_t a = 0;
    uint32_t b = 0;
  };

 private:
  friend class ProgramBuilder;
  std::vector<Inst> insts_;
  std::vector<regex::ByteSet> sets_;
  // The run of plain byte steps the program starts with (after a leading ^), checked in a
  // tight loop before the VM starts: most URLs fail an origin within its first bytes.
  uint32_t prefix_begin_ = 0;
  uint32_t prefix_end_ = 0;
};

}  // namespace trb
