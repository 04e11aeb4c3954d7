// Cutting a text at its separators, with the piece rules that the pipe framing, the command
// tokens and the origin-list syntax all rely on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trb {

// Pieces of `text` between its separators (';', a run of ASCII whitespace, '|'), cut as a
// regular expression's matches would cut it:
//  - every piece that ends where a separator begins counts, even when empty;
//  - the piece after the last separator counts only when it is not empty;
//  - a text without a separator gives itself as the one piece, even when empty.
// They run without a regular-expression engine and stay linear on inputs of any size.
std::vector<std::string> SplitAtSemicolons(std::string_view text);
std::vector<std::string> SplitAtWhitespace(std::string_view text);
std::vector<std::string> SplitAtBars(std::string_view text);

}  // namespace trb
