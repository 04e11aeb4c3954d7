// The allow-list of origin patterns and the test whether a URL is covered by it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace trb {

class CompiledOriginList;  // immutable, compiled once per Replace

// Ceilings that keep a hostile list or URL from stalling the thread that compiles or checks:
// the patterns of one list may compile to this many matcher instructions in all (patterns
// beyond it cover nothing), and one check may take this many matcher steps (a check that
// runs out answers "not covered"). Checks run on the UI thread at every navigation, so the
// step ceiling is what a check may cost at worst: about a tenth of a second. Ordinary
// lists and URLs stay far below both: a pattern of a few dozen bytes is a few dozen
// instructions, and checking one against a 2 MB URL takes a few dozen steps, since runs of
// bytes that leave the matcher where it was are skipped (a URL crafted to defeat that costs
// a few steps per byte per pattern).
inline constexpr size_t kMaxListInstructions = size_t{1} << 22;
inline constexpr uint64_t kMaxCheckSteps = uint64_t{1} << 24;

// An ordered list of origin patterns; an empty list means "no restriction" to its callers.
// A pattern P covers a URL when "^" + P' + ".*$" matches the whole URL, case-insensitively,
// as an ECMAScript regular expression; P' is P with ":443" dropped when P starts with
// "https://" (the URL gets the same treatment) and "//*." rewritten to "//.*".
//
// Replace and Clear swap in a whole new compiled list, so Matches on another thread always
// sees either the old or the new list and never waits for a compile.
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

// The textual rewriting of one pattern and of the URL, exposed for tests and the benchmark's
// baseline.
std::string RewritePattern(std::string_view pattern);  // gives "^" + P' + ".*$"
std::string RewriteUrl(std::string_view url);

// The literal algorithm: rewrite and compile every pattern with std::regex at every call.
// Only for differential tests and the benchmark baseline; it may overflow the stack on long
// URLs, which is why the browser never uses it.
bool ReferenceMatches(const std::vector<std::string>& patterns, std::string_view url);

}  // namespace trb
