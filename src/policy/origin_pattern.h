// One origin pattern, compiled once: std::regex judges whether it is valid, the pattern
// reader keeps std::regex within its safe bounds, and the translation runs on PCRE2 (and,
// through the list, on RE2) with a step budget.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "policy/pattern_translation.h"

namespace trb {

// libstdc++'s std::regex recurses while it compiles (once per term of a sequence and a few
// frames per group level). Measured with GCC 12 at -O2 on an 8 MiB stack, compiling an
// 87,000-byte literal or 20,000 nested groups overflows it; on a 1 MiB stack the figures are
// about 10,800 and 2,500. The bounds below keep every compile at least six times under the
// 8 MiB figures (room for sanitizer builds' larger frames). A rewritten pattern beyond them
// never reaches std::regex and covers nothing:
inline constexpr size_t kMaxPatternBytes = 4096;
inline constexpr int kMaxPatternDepth = 64;  // groups and lookaheads nested

// Whether the rewritten pattern must not reach std::regex, not even to learn whether it is
// valid: longer or nested deeper than the bounds above, a count or back-reference number of
// ten digits or more (libstdc++ overflows a long reading it), or not readable at all as
// libstdc++ reads ECMAScript.
bool BeyondStdRegexBounds(std::string_view rewritten);

// What one check may still spend on PCRE2, shared by the patterns it tries.
struct PcreBudget {
  int64_t steps = 0;
  size_t min_end = 0;  // a match that dropped its ".*$" tail must reach this far
};

class OriginPattern {
 public:
  enum class Use {
    kNever,  // invalid, beyond the bounds, or not faithfully expressible: covers nothing
    kPcre2,  // PCRE2 only (lookahead, back-references, counts beyond 1000)
    kBoth,   // RE2 can run it too
  };
  enum class Result { kNo, kYes, kOutOfSteps };

  // `rewritten` is the full expression, "^" + pattern' + ".*$".
  explicit OriginPattern(std::string_view rewritten);
  ~OriginPattern();
  OriginPattern(OriginPattern&&) noexcept;
  OriginPattern& operator=(OriginPattern&&) noexcept;

  Use use() const { return use_; }
  const Translation& translation() const { return translation_; }

  // Whether the pattern covers the (rewritten) URL, spending PCRE2 steps from `*budget`.
  // A match that fails for any other limit (memory, JIT stack) answers kNo.
  Result Matches(std::string_view url, PcreBudget* budget) const noexcept;

 private:
  Use use_ = Use::kNever;
  Translation translation_;
  struct Code;
  std::unique_ptr<Code> code_;
};

}  // namespace trb
