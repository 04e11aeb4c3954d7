// Cutting a text at every match of a regular expression, with the piece rules that the
// pipe framing, the command tokens and the origin-list syntax all rely on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trb {

// Pieces of `text` between the matches of `pattern` (ECMAScript grammar):
//  - every piece that ends where a match begins counts, even when empty;
//  - the piece after the last match counts only when it is not empty;
//  - a text without a match gives itself as the one piece, even when empty.
// The pattern must not be able to match an empty stretch.
std::vector<std::string> SplitByRegex(std::string_view text, std::string_view pattern);

// The three separators in use. They are single-character classes, so these run without a
// regular-expression engine and stay linear on inputs of any size; the results are the
// same as SplitByRegex with ";", "\\s+" and "\\|".
std::vector<std::string> SplitAtSemicolons(std::string_view text);
std::vector<std::string> SplitAtWhitespace(std::string_view text);
std::vector<std::string> SplitAtBars(std::string_view text);

}  // namespace trb
