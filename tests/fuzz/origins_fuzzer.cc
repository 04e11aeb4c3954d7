// The allow-list check against two references: for lists of plain literal patterns, a
// case-insensitive prefix comparison written out by hand; for short patterns and URLs, the
// literal std::regex algorithm (ReferenceMatches). Long inputs only have to come back, within
// the check's budget.
//
// Input: the pattern list text (cut at '|' as SET-ALLOWED-ORIGINS cuts it), a '\n', the URL.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "policy/allowed_origins.h"
#include "policy/origin_pattern.h"
#include "policy/split.h"
#include "support/oracles.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "origins_fuzzer: %s\n", what);
    std::abort();
  }
}

bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsOperator(char c) {
  return std::string_view("^$\\.*+?()[]{}|").find(c) != std::string_view::npos;
}

unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

std::string DropPort(std::string_view text) {
  std::string out(text);
  if (!text.starts_with("https://")) return out;
  for (size_t at; (at = out.find(":443")) != std::string::npos;) out.erase(at, 4);
  return out;
}

// The text a pattern stands for when it uses no operator at all (every operator character
// escaped, escapes only of punctuation), after the ":443" rule; nothing otherwise.
std::optional<std::string> LiteralText(std::string_view pattern) {
  // Erasing ":443" repeatedly is not the same as one left-to-right pass ("::443443"); the
  // pass is what the rule says, so do it that way here.
  std::string q;
  if (pattern.starts_with("https://")) {
    size_t from = 0;
    for (size_t at; (at = pattern.find(":443", from)) != std::string_view::npos; from = at + 4)
      q.append(pattern.substr(from, at - from));
    q.append(pattern.substr(from));
  } else {
    q = pattern;
  }
  std::string literal;
  for (size_t i = 0; i < q.size(); ++i) {
    const char c = q[i];
    if (c == '\\') {
      if (i + 1 >= q.size()) return std::nullopt;
      const auto e = static_cast<unsigned char>(q[++i]);
      if (IsAlnum(e) || e == 0 || e >= 0x80) return std::nullopt;
      literal += static_cast<char>(e);
    } else if (IsOperator(c)) {
      return std::nullopt;
    } else {
      literal += c;
    }
  }
  return literal;
}

// "^" + literal + ".*$" over the whole URL: a case-insensitive prefix, then no line break.
bool LiteralCovers(std::string_view literal, std::string_view url) {
  if (url.size() < literal.size()) return false;
  for (size_t i = 0; i < literal.size(); ++i)
    if (Fold(literal[i]) != Fold(url[i])) return false;
  return url.substr(literal.size()).find_first_of("\r\n") == std::string_view::npos;
}

size_t CountQuantifiers(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += c == '*' || c == '+' || c == '?' || c == '{';
  return n;
}

// Counted repeats are what makes std::regex, the judge of which patterns are valid, slow to
// compile: it expands them into states ("(a{1000}){100}" is 100,000 of them). Whether the
// browser copes with such lists is a unit test's business; here they would eat the run.
bool HugeCounts(std::string_view text) {
  uint64_t product = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '{') continue;
    uint64_t n = 0;
    for (size_t k = i + 1; k < text.size() && text[k] >= '0' && text[k] <= '9' && n < 100'000; ++k)
      n = n * 10 + static_cast<uint64_t>(text[k] - '0');
    product *= std::max<uint64_t>(n, 1);
    if (product > 1000) return true;
  }
  return false;
}

// A pattern std::regex accepts but the browser refuses on purpose (a construct whose
// meaning cannot be expressed faithfully): no comparison with std::regex there. Only asked
// of short patterns, which std::regex compiles safely whatever they hold.
bool RefusedOnPurpose(const std::string& pattern) {
  const std::string rewritten = trb::RewritePattern(pattern);
  if (trb::OriginPattern(rewritten).use() != trb::OriginPattern::Use::kNever) return false;
  try {
    std::regex(rewritten, std::regex::ECMAScript | std::regex::icase);
  } catch (const std::regex_error&) {
    return false;  // invalid for both
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const std::string_view list_text = input.substr(0, newline);
  if (HugeCounts(list_text)) return 0;
  const std::string url(input.substr(newline + 1));
  const std::vector<std::string> patterns = trb::SplitAtBars(list_text);

  trb::AllowedOrigins origins;
  origins.Replace(patterns);
  const bool got = origins.Matches(url);
  const trb::AllowedOrigins::Verdict verdict = origins.Check(url);
  Check(!origins.IsEmpty() && !verdict.empty, "a replaced list reads as empty");
  Check(verdict.matches == got, "Check and Matches disagree");

  bool all_literal = true;
  bool literal_covers = false;
  const std::string v = DropPort(url);
  for (const std::string& p : patterns) {
    const std::optional<std::string> literal = LiteralText(p);
    if (!literal) {
      all_literal = false;
      break;
    }
    literal_covers = literal_covers || LiteralCovers(*literal, v);
  }
  if (all_literal) Check(got == literal_covers, "differs from the literal prefix reference");

  // std::regex backtracks: keep it to inputs it finishes quickly and without deep recursion.
  if (list_text.size() <= 24 && url.size() <= 12 && patterns.size() <= 3 &&
      CountQuantifiers(list_text) <= 4) {
    bool refused = false;
    for (const std::string& p : patterns) refused = refused || RefusedOnPurpose(p);
    if (!refused)
      Check(got == trb::test::ReferenceMatches(patterns, url), "differs from std::regex");
  }

  origins.Clear();
  Check(origins.IsEmpty() && !origins.Matches(url), "a cleared list still covers");
  return 0;
}
