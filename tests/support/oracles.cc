#include "support/oracles.h"

#include <regex>

#include "policy/allowed_origins.h"

namespace trb::test {

std::vector<std::string> SplitByRegex(std::string_view text, std::string_view pattern) {
  const std::regex re(pattern.begin(), pattern.end(), std::regex::ECMAScript);
  std::vector<std::string> pieces;
  auto begin = text.begin();
  size_t last_end = 0;
  bool matched = false;
  for (std::cregex_iterator it(text.data(), text.data() + text.size(), re), end; it != end; ++it) {
    matched = true;
    const size_t at = static_cast<size_t>(it->position(0));
    pieces.emplace_back(begin + static_cast<std::ptrdiff_t>(last_end),
                        begin + static_cast<std::ptrdiff_t>(at));
    last_end = at + static_cast<size_t>(it->length(0));
  }
  if (!matched || last_end < text.size()) pieces.emplace_back(text.substr(last_end));
  return pieces;
}

bool ReferenceMatches(const std::vector<std::string>& patterns, std::string_view url) {
  const std::string v = RewriteUrl(url);
  for (const std::string& p : patterns) {
    try {
      const std::regex re(RewritePattern(p), std::regex::ECMAScript | std::regex::icase);
      if (std::regex_match(v, re)) return true;
    } catch (const std::regex_error&) {
      // Not a valid expression: it covers nothing.
    }
  }
  return false;
}

}  // namespace trb::test
