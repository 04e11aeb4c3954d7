#include "policy/split.h"

namespace trb {
namespace {

// Shared body of the fixed splitters: `is_sep` marks separator bytes, and a run of them
// counts as one match when `runs` is set (the "\s+" case).
template <typename IsSep>
std::vector<std::string> SplitAt(std::string_view text, IsSep is_sep, bool runs) {
  std::vector<std::string> pieces;
  size_t start = 0;
  bool matched = false;
  size_t i = 0;
  while (i < text.size()) {
    if (!is_sep(text[i])) {
      ++i;
      continue;
    }
    matched = true;
    pieces.emplace_back(text.substr(start, i - start));
    ++i;
    if (runs) {
      while (i < text.size() && is_sep(text[i])) ++i;
    }
    start = i;
  }
  if (!matched || start < text.size()) pieces.emplace_back(text.substr(start));
  return pieces;
}

}  // namespace

std::vector<std::string> SplitAtSemicolons(std::string_view text) {
  return SplitAt(
      text, [](char c) { return c == ';'; }, false);
}

std::vector<std::string> SplitAtWhitespace(std::string_view text) {
  // ECMAScript \s in the classic locale: space, \t, \n, \v, \f, \r.
  return SplitAt(
      text, [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }, true);
}

std::vector<std::string> SplitAtBars(std::string_view text) {
  return SplitAt(
      text, [](char c) { return c == '|'; }, false);
}

}  // namespace trb
