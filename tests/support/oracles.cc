#include "support/oracles.h"

#include <map>
#include <regex>

#include "policy/allowed_origins.h"

namespace trb::test {

std::vector<std::string> SplitByRegex(std::string_view text, std::string_view pattern) {
  // Callers split by a handful of patterns millions of times (the fuzz targets run it per
  // input); compiling each time was most of their cost.
  thread_local std::map<std::string, std::regex, std::less<>> compiled;
  auto found = compiled.find(pattern);
  if (found == compiled.end()) {
    found = compiled
                .emplace(std::string(pattern),
                         std::regex(pattern.begin(), pattern.end(), std::regex::ECMAScript))
                .first;
  }
  const std::regex& re = found->second;
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
  return ReferenceList(patterns).Matches(url);
}

ReferenceList::ReferenceList(const std::vector<std::string>& patterns) {
  for (const std::string& p : patterns) {
    try {
      compiled_.emplace_back(RewritePattern(p), std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error&) {
      // Not a valid expression: it covers nothing.
    }
  }
}

bool ReferenceList::Matches(std::string_view url) const {
  const std::string v = RewriteUrl(url);
  for (const std::regex& re : compiled_) {
    if (std::regex_match(v, re)) return true;
  }
  return false;
}

}  // namespace trb::test
