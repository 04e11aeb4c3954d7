// The literal algorithms the product's fast paths must agree with (tests, fuzzing, benchmark).
#pragma once

#include <algorithm>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "policy/allowed_origins.h"

namespace trb::test {

// Pieces between matches of `pattern`: each before a match; after the last one if not empty.
inline std::vector<std::string> SplitByRegex(std::string_view text, std::string_view pattern) {
  const std::regex re(pattern.begin(), pattern.end());
  std::vector<std::string> pieces;
  size_t from = 0;
  for (std::cregex_iterator m(text.data(), text.data() + text.size(), re), end; m != end; ++m) {
    pieces.emplace_back(text.substr(from, static_cast<size_t>(m->position(0)) - from));
    from = static_cast<size_t>(m->position(0) + m->length(0));
  }
  if (pieces.empty() || from < text.size()) pieces.emplace_back(text.substr(from));
  return pieces;
}

// Whether "^" + P' + ".*$" matches the rewritten URL for some P; one std::regex rejects: none.
class ReferenceList {
 public:
  explicit ReferenceList(const std::vector<std::string>& patterns) {
    for (const std::string& p : patterns) {
      try {
        compiled_.emplace_back(RewritePattern(p), std::regex::ECMAScript | std::regex::icase);
      } catch (const std::regex_error&) {  // covers nothing
      }
    }
  }
  bool Matches(std::string_view url) const {
    const std::string v = RewriteUrl(url);
    return std::any_of(compiled_.begin(), compiled_.end(),
                       [&](const std::regex& re) { return std::regex_match(v, re); });
  }

 private:
  std::vector<std::regex> compiled_;
};
inline bool ReferenceMatches(const std::vector<std::string>& patterns, std::string_view url) {
  return ReferenceList(patterns).Matches(url);
}

}  // namespace trb::test
