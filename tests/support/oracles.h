// The literal algorithms the product's fast paths must agree with, for the differential
// tests, the fuzz targets and the benchmark's baseline. Never used by the browser: both run
// std::regex, which can overflow the stack on long inputs.
#pragma once

#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace trb::test {

// Pieces of `text` between the matches of `pattern` (ECMAScript grammar):
//  - every piece that ends where a match begins counts, even when empty;
//  - the piece after the last match counts only when it is not empty;
//  - a text without a match gives itself as the one piece, even when empty.
// The pattern must not be able to match an empty stretch.
std::vector<std::string> SplitByRegex(std::string_view text, std::string_view pattern);

// Whether "^" + P' + ".*$" matches the whole rewritten URL for some pattern P, compiling
// every pattern with std::regex at every call; a pattern std::regex rejects covers nothing.
bool ReferenceMatches(const std::vector<std::string>& patterns, std::string_view url);

// The same answer for many URLs against one list, compiling the list once.
class ReferenceList {
 public:
  explicit ReferenceList(const std::vector<std::string>& patterns);
  bool Matches(std::string_view url) const;

 private:
  std::vector<std::regex> compiled_;
};

}  // namespace trb::test
