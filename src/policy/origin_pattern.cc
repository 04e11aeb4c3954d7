#include "policy/origin_pattern.h"

#include <algorithm>

namespace trb {

int GroupDepth(std::string_view pattern) {
  int depth = 0;
  int deepest = 0;
  bool in_bracket = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      ++i;
    } else if (in_bracket) {
      in_bracket = c != ']';
    } else if (c == '[') {
      in_bracket = true;
    } else if (c == '(') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ')') {
      depth = std::max(0, depth - 1);
    }
  }
  return deepest;
}

OriginPattern::OriginPattern(std::string_view rewritten) {
  if (rewritten.size() > kMaxPatternBytes || GroupDepth(rewritten) > kMaxPatternDepth) return;
  // std::regex is the judge of validity, so that a pattern covers exactly what it would
  // cover if compiled afresh; the linear engine then runs every pattern it can.
  try {
    backtracking_ = std::make_unique<std::regex>(rewritten.begin(), rewritten.end(),
                                                 std::regex::ECMAScript | std::regex::icase);
  } catch (const std::exception&) {
    backtracking_.reset();
    return;
  }
  program_ = RegexProgram::Compile(rewritten);
  if (program_) {
    backtracking_.reset();
    engine_ = Engine::kLinear;
  } else {
    engine_ = Engine::kBacktracking;
  }
}

bool OriginPattern::Matches(std::string_view url) const noexcept {
  switch (engine_) {
    case Engine::kNever:
      return false;
    case Engine::kLinear:
      return program_->FullMatch(url);
    case Engine::kBacktracking:
      if (url.size() > kMaxBacktrackingUrlBytes) return false;
      try {
        return std::regex_match(url.begin(), url.end(), *backtracking_);
      } catch (const std::exception&) {
        // error_complexity or error_stack from the executor: not covered.
        return false;
      }
  }
  return false;
}

}  // namespace trb
