// Parsing an ECMAScript regular expression into a small tree, reading the grammar the way
// libstdc++'s std::regex reads it with ECMAScript | icase in the classic locale. Only what
// a linear-time matcher can run is accepted; everything else is refused as unsupported.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace trb::regex {

// A set of bytes, one bit per byte value.
struct ByteSet {
  std::array<uint64_t, 4> bits{};
  void Add(uint8_t b) { bits[b >> 6] |= uint64_t{1} << (b & 63); }
  bool Has(uint8_t b) const { return (bits[b >> 6] >> (b & 63)) & 1; }
};

struct Node {
  enum class Kind : uint8_t {
    kEmpty,            // matches the empty string
    kSet,              // one byte out of `sets[set]`
    kConcat,           // children in sequence
    kAlt,              // any one of the children
    kRepeat,           // children[0] between min and max times (max < 0: no upper bound)
    kBegin,            // ^: start of input
    kEnd,              // $: end of input
    kWordBoundary,     // \b
    kNotWordBoundary,  // \B
  };
  Kind kind = Kind::kEmpty;
  bool any_char = false;  // kSet made by '.', which lets the matcher shortcut a final ".*$"
  uint32_t set = 0;
  int32_t min = 0;
  int32_t max = 0;
  std::vector<uint32_t> children;
};

struct Tree {
  std::vector<Node> nodes;
  std::vector<ByteSet> sets;
  uint32_t root = 0;
};

// Group nesting the parser follows before it gives up; its recursion is per group level only.
inline constexpr int kMaxGroupDepth = 256;
// Highest count a {n,m} may name.
inline constexpr int32_t kMaxRepeatCount = 100000;

// The tree of `pattern`, or nothing when the pattern is invalid or uses something outside the
// linear-time subset (back-references, lookahead, [[:class:]], [[.x.]], [[=x=]]).
std::optional<Tree> Parse(std::string_view pattern);

}  // namespace trb::regex
