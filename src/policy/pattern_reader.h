// Reads an ECMAScript regular expression the way libstdc++'s std::regex reads it with
// ECMAScript | icase (same tokens, same quirks, same locale), into a tree whose leaves are
// byte sets. It is the one reader of pattern syntax: the bounds that keep std::regex safe
// and the translation for RE2 and PCRE2 both work from its result. It never matches text.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace trb {

// A set of bytes, one bit per byte value.
struct ByteSet {
  std::array<uint64_t, 4> bits{};
  void Add(uint8_t b) { bits[b >> 6] |= uint64_t{1} << (b & 63); }
  bool Has(uint8_t b) const { return (bits[b >> 6] >> (b & 63)) & 1; }
  friend bool operator==(const ByteSet&, const ByteSet&) = default;
};

struct PatternNode {
  enum class Kind : uint8_t {
    kEmpty,         // matches the empty string
    kSet,           // one byte out of `set`
    kConcat,        // children in sequence
    kAlt,           // any one of the children
    kGroup,         // children[0]; `group` > 0 when it captures (its number)
    kRepeat,        // children[0] between min and max times (max < 0: unbounded)
    kBegin,         // ^
    kEnd,           // $
    kWordBoundary,  // \b, or \B when `negated`
    kLookahead,     // (?=...) or (?!...) when `negated`
    kBackref,       // \N, N in `group`
  };
  Kind kind = Kind::kEmpty;
  bool negated = false;
  bool lazy = false;
  int32_t group = 0;
  int32_t min = 0;
  int32_t max = 0;
  ByteSet set;
  std::vector<uint32_t> children;
};

struct PatternTree {
  // False when std::regex would reject the pattern, or when it nests deeper or holds larger
  // numbers than the limits below let the reader (and std::regex) follow.
  bool ok = false;
  int group_depth = 0;       // deepest nesting of parentheses seen
  bool huge_number = false;  // a count or back-reference number of more than 9 digits
  int groups = 0;            // capturing groups
  std::vector<PatternNode> nodes;
  uint32_t root = 0;
};

// Nesting the reader follows: parentheses, and quantifiers stacked on one atom ("a**"),
// together. Deeper patterns are not read (ok stays false).
inline constexpr int kMaxTreeDepth = 256;
// libstdc++ reads repeat counts and back-reference numbers into a long without checking for
// overflow (undefined behaviour); a number of ten digits or more is beyond what std::regex
// accepts anyway (the automaton's size limit, the count of groups).
inline constexpr size_t kMaxNumberDigits = 9;

PatternTree ReadPattern(std::string_view pattern);

}  // namespace trb
