// One origin pattern, compiled once: the rewritten regular expression held by the engine
// that can run it safely, with the limits that keep std::regex from overflowing the stack.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

#include "policy/regex_program.h"

namespace trb {

// libstdc++'s std::regex recurses while it compiles (once per term of a sequence and a few
// frames per group level) and while it matches (several frames per input byte). Measured
// with GCC 12 at -O2 on an 8 MiB stack: compiling a 87,000-byte literal, 20,000 nested
// groups, and matching "^a.*$" against 26,000 bytes each overflow it; on a 1 MiB stack
// the figures are about 10,800, 2,500 and 3,200. The bounds below keep every use at least
// six times under the 8 MiB figures (room for sanitizer builds' larger frames):
//
// A rewritten pattern longer than this never matches.
inline constexpr size_t kMaxPatternBytes = 4096;
// Nor does one whose groups nest deeper than this.
inline constexpr int kMaxPatternDepth = 64;
// Patterns the linear-time engine cannot run (back-references, lookahead, [[:name:]]) are
// matched by std::regex, and only against URLs up to this length; longer URLs fail closed.
inline constexpr size_t kMaxBacktrackingUrlBytes = 2048;

// Group nesting depth of an ECMAScript pattern, counting '(' outside brackets and escapes.
int GroupDepth(std::string_view pattern);

// libstdc++ reads repeat counts and back-reference numbers into a long without checking for
// overflow (undefined behaviour). A number of ten digits or more is beyond what std::regex
// accepts anyway (the automaton's size limit, the count of groups), so a pattern with one
// is invalid before std::regex sees it.
inline constexpr size_t kMaxNumberDigits = 9;
bool HasOversizedNumber(std::string_view pattern);

// Whether the rewritten pattern is beyond the bounds above (length, nesting, numbers): such
// a pattern must not reach std::regex at all, not even to learn whether it is valid.
bool BeyondStdRegexBounds(std::string_view rewritten);

// std::regex backtracks: "(a*)*\1b" against 40 a's never finishes, and neither does a long
// chain of "(a|a)". So a pattern goes to it only when its search space is provably small,
// and the URL length it may see shrinks with every quantifier (each multiplies the paths
// by up to the URL's length): no quantified group, at most three '|', and a weight (the
// quantifiers, lookaheads, and back-references when anything is quantified; the final ".*"
// not counted) of 0 or 1: 2048 bytes, 2: 128, 3: 32, more: never. Returns that limit, 0
// for never. `rewritten` is "^" + pattern' + ".*$".
size_t BacktrackingUrlLimit(std::string_view rewritten);

class OriginPattern {
 public:
  enum class Engine {
    kNever,        // invalid, or beyond the limits above: covers nothing
    kLinear,       // RegexProgram
    kBacktracking  // std::regex, for URLs up to BacktrackingUrlLimit
  };

  // `rewritten` is the full expression, "^" + pattern' + ".*$". `*compile_budget` is what
  // the list this pattern belongs to may still spend on compiling, in linear-engine
  // instructions; the pattern takes its share off it, and beyond it covers nothing.
  OriginPattern(std::string_view rewritten, size_t* compile_budget);
  explicit OriginPattern(std::string_view rewritten);

  // Whether the expression matches the whole of the (rewritten) URL, spending at most
  // `*step_budget` steps of the linear engine (false when they run out). Never throws.
  bool Matches(std::string_view url, uint64_t* step_budget) const noexcept;
  bool Matches(std::string_view url) const noexcept;

  Engine engine() const { return engine_; }
  // The longest URL the pattern can cover: unlimited for the linear engine, 0 for kNever.
  size_t max_url_bytes() const;

 private:
  Engine engine_ = Engine::kNever;
  std::optional<RegexProgram> program_;
  std::unique_ptr<std::regex> backtracking_;
  size_t backtracking_url_limit_ = 0;
};

}  // namespace trb
