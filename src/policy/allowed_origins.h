// The allow-list of origin patterns and the test whether a URL is covered by it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace trb {

class CompiledOriginList;  // immutable, compiled once per Replace

// What one check may spend, whatever the list and the URL, so that a check holds the UI
// thread for about 10 ms at most, half for each library (calibrated on the project's 2-core
// x86-64 build machine; bench_allowed_origins times the hostile cases against the 10 ms).
// RE2 runs only where its worst case stays within its share: its cost is counted in NFA
// positions alive per byte of URL read, about 10 ns each at worst (a DFA that builds a new
// state at every byte). PCRE2 counts its steps: one per item tried, about 20 ns each, plus
// the length of what a back-reference compares. A check whose PCRE2 steps run out answers
// "not covered".
inline constexpr uint64_t kMaxRe2Work = 500'000;
inline constexpr int64_t kMaxPcreSteps = 250'000;

// An ordered list of origin patterns; an empty list means "no restriction" to its callers.
// A pattern P covers a URL when "^" + P' + ".*$" matches the whole URL, case-insensitively,
// as an ECMAScript regular expression; P' is P with ":443" dropped when P starts with
// "https://" (the URL gets the same treatment) and "//*." rewritten to "//.*".
//
// Replace and Clear swap in a whole new compiled list, so Matches on another thread always
// sees either the old or the new list and never waits for a compile. Compiling a list of
// 5,000 patterns takes about a second, on the caller's thread.
class AllowedOrigins {
 public:
  AllowedOrigins();
  ~AllowedOrigins();
  AllowedOrigins(const AllowedOrigins&) = delete;
  AllowedOrigins& operator=(const AllowedOrigins&) = delete;

  void Replace(const std::vector<std::string>& patterns);
  void Clear();
  // An empty pattern is a stored pattern: only a list without any pattern is empty.
  bool IsEmpty() const;
  // False for an empty list. A pattern that is not a valid regular expression never covers
  // anything, and a URL beyond the matcher's limits is not covered (fail closed).
  bool Matches(std::string_view url) const;

  // IsEmpty and Matches taken from one snapshot of the list, for callers that need both.
  struct Verdict {
    bool empty;
    bool matches;
  };
  Verdict Check(std::string_view url) const;

 private:
  std::shared_ptr<const CompiledOriginList> Load() const;
  std::atomic<std::shared_ptr<const CompiledOriginList>> list_;
};

// The textual rewriting of one pattern and of the URL, exposed for the tests' reference
// algorithm.
std::string RewritePattern(std::string_view pattern);  // gives "^" + P' + ".*$"
std::string RewriteUrl(std::string_view url);

}  // namespace trb
