#include "policy/origin_pattern.h"

#include <algorithm>
#include <cstdint>
#include <utility>

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

bool HasOversizedNumber(std::string_view pattern) {
  const auto digit = [&](size_t i) { return pattern[i] >= '0' && pattern[i] <= '9'; };
  bool in_bracket = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      // A back-reference number, inside a class or not.
      size_t digits = 0;
      while (i + 1 < pattern.size() && digit(i + 1)) {
        ++i;
        if (++digits > kMaxNumberDigits) return true;
      }
      if (digits == 0) ++i;
    } else if (in_bracket) {
      in_bracket = c != ']';
    } else if (c == '[') {
      in_bracket = true;
    } else if (c == '{') {
      // {n}, {n,} or {n,m}: each run of digits up to the closing brace.
      size_t digits = 0;
      for (++i; i < pattern.size() && pattern[i] != '}'; ++i) {
        digits = digit(i) ? digits + 1 : 0;
        if (digits > kMaxNumberDigits) return true;
      }
    }
  }
  return false;
}

size_t BacktrackingUrlLimit(std::string_view rewritten) {
  std::string_view p = rewritten;
  if (p.starts_with('^')) p.remove_prefix(1);
  if (p.ends_with(".*$")) p.remove_suffix(3);
  int quantifiers = 0;
  int lookaheads = 0;
  int backrefs = 0;
  int bars = 0;
  bool in_bracket = false;
  bool after_group = false;  // the previous atom was a group
  for (size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    const bool was_group = std::exchange(after_group, false);
    if (c == '\\') {
      if (i + 1 < p.size() && p[i + 1] >= '1' && p[i + 1] <= '9' && !in_bracket) ++backrefs;
      ++i;
    } else if (in_bracket) {
      in_bracket = c != ']';
    } else if (c == '[') {
      in_bracket = true;
    } else if (c == '(') {
      if (i + 2 < p.size() && p[i + 1] == '?' && (p[i + 2] == '=' || p[i + 2] == '!')) {
        ++lookaheads;
        i += 2;
      } else if (i + 1 < p.size() && p[i + 1] == '?') {
        i += 2;  // (?:
      }
    } else if (c == ')') {
      after_group = true;
    } else if (c == '|') {
      ++bars;
    } else if (c == '*' || c == '+' || c == '?' || c == '{') {
      if (was_group) return 0;
      ++quantifiers;
      if (c == '{') {
        const size_t close = p.find('}', i);
        if (close == std::string_view::npos) return 0;
        i = close;
      }
    }
  }
  if (bars > 3) return 0;
  const int weight = quantifiers + lookaheads + (quantifiers > 0 ? backrefs : 0);
  constexpr size_t kLimits[] = {kMaxBacktrackingUrlBytes, kMaxBacktrackingUrlBytes, 128, 32};
  return weight < 4 ? kLimits[weight] : 0;
}

size_t OriginPattern::max_url_bytes() const {
  switch (engine_) {
    case Engine::kNever:
      return 0;
    case Engine::kLinear:
      return SIZE_MAX;
    case Engine::kBacktracking:
      return backtracking_url_limit_;
  }
  return 0;
}

OriginPattern::OriginPattern(std::string_view rewritten) {
  size_t unlimited = SIZE_MAX;
  *this = OriginPattern(rewritten, &unlimited);
}

bool BeyondStdRegexBounds(std::string_view rewritten) {
  return rewritten.size() > kMaxPatternBytes || GroupDepth(rewritten) > kMaxPatternDepth ||
         HasOversizedNumber(rewritten);
}

OriginPattern::OriginPattern(std::string_view rewritten, size_t* compile_budget) {
  if (BeyondStdRegexBounds(rewritten)) return;
  // Compiling costs about as much as the program is large (std::regex builds a similar
  // automaton), so the program is built first and charged before std::regex sees the
  // pattern. A pattern only std::regex can run is charged by its length, generously.
  program_ = RegexProgram::Compile(rewritten);
  const size_t cost = program_ ? program_->size() : rewritten.size() * 64;
  if (cost > *compile_budget) {
    program_.reset();
    *compile_budget = 0;
    return;
  }
  *compile_budget -= cost;
  // std::regex is the judge of validity, so that a pattern covers exactly what it would
  // cover if compiled afresh; the linear engine then runs every pattern it can.
  try {
    backtracking_ = std::make_unique<std::regex>(rewritten.begin(), rewritten.end(),
                                                 std::regex::ECMAScript | std::regex::icase);
  } catch (const std::exception&) {
    backtracking_.reset();
    program_.reset();
    return;
  }
  if (program_) {
    backtracking_.reset();
    engine_ = Engine::kLinear;
  } else if ((backtracking_url_limit_ = BacktrackingUrlLimit(rewritten)) > 0) {
    engine_ = Engine::kBacktracking;
  } else {
    backtracking_.reset();
  }
}

bool OriginPattern::Matches(std::string_view url) const noexcept {
  uint64_t unlimited = UINT64_MAX;
  return Matches(url, &unlimited);
}

bool OriginPattern::Matches(std::string_view url, uint64_t* step_budget) const noexcept {
  switch (engine_) {
    case Engine::kNever:
      return false;
    case Engine::kLinear:
      return program_->FullMatch(url, step_budget);
    case Engine::kBacktracking:
      if (url.size() > backtracking_url_limit_) return false;
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
