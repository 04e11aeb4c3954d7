// The allow-list against two references: a case-insensitive prefix for lists of literal patterns,
// std::regex's literal algorithm for short ones; long inputs only have to come back in time.
// Input: the pattern list (cut at '|' as SET-ALLOWED-ORIGINS cuts it), '\n', the URL.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "policy/allowed_origins.h"
#include "policy/origin_pattern.h"
#include "policy/split.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "origins_fuzzer: %s\n", what), std::abort();
}

char Fold(char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// ":443" dropped from a text that starts with "https://", in one left-to-right pass.
std::string DropPort(std::string_view text) {
  if (!text.starts_with("https://")) return std::string(text);
  std::string out;
  size_t from = 0;
  for (size_t at; (at = text.find(":443", from)) != std::string_view::npos; from = at + 4)
    out.append(text.substr(from, at - from));
  return out.append(text.substr(from));
}

// The text a pattern stands for when it uses no operator (every operator character escaped,
// escapes only of punctuation), after the ":443" rule; nothing otherwise.
std::optional<std::string> LiteralText(std::string_view pattern) {
  const std::string q = DropPort(pattern);
  std::string literal;
  for (size_t i = 0; i < q.size(); ++i) {
    const auto c = static_cast<unsigned char>(q[i]);
    if (c == '\\') {
      const auto e = i + 1 < q.size() ? static_cast<unsigned char>(q[++i]) : 0;
      if (std::isalnum(e) || e == 0 || e >= 0x80) return std::nullopt;
      literal += static_cast<char>(e);
    } else if (std::string_view("^$.*+?()[]{}|").find(static_cast<char>(c)) !=
               std::string_view::npos) {
      return std::nullopt;
    } else {
      literal += static_cast<char>(c);
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

// Counted repeats make std::regex, the judge of which patterns are valid, slow to compile
// ("(a{1000}){100}" is 100,000 states): the unit tests hold the browser to such lists.
bool HugeCounts(std::string_view text) {
  uint64_t product = 1;
  for (size_t i = text.find('{'); i != std::string_view::npos; i = text.find('{', i + 1)) {
    uint64_t n = 0;
    for (size_t k = i + 1;
         k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])) && n < 100'000; ++k)
      n = n * 10 + static_cast<uint64_t>(text[k] - '0');
    if ((product *= std::max<uint64_t>(n, 1)) > 1000) return true;
  }
  return false;
}

// The literal algorithm: "^" + P' + ".*$" by std::regex over the whole rewritten URL, each
// pattern compiled once. Nothing when a pattern std::regex accepts is one the browser refuses
// on purpose (its meaning cannot be expressed faithfully).
std::optional<bool> ReferenceMatches(const std::vector<std::string>& patterns,
                                     const std::string& url) {
  const std::string v = trb::RewriteUrl(url);
  bool covered = false;
  for (const std::string& p : patterns) {
    const std::string rewritten = trb::RewritePattern(p);
    std::regex re;
    try {
      re.assign(rewritten, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error&) {
      continue;  // invalid for both: covers nothing
    }
    if (trb::OriginPattern(rewritten).use() == trb::OriginPattern::Use::kNever) return std::nullopt;
    covered = covered || std::regex_match(v, re);
  }
  return covered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos || HugeCounts(input.substr(0, newline))) return 0;
  const std::string_view list_text = input.substr(0, newline);
  const std::string url(input.substr(newline + 1));
  const std::vector<std::string> patterns = trb::SplitAtBars(list_text);

  trb::AllowedOrigins origins;
  origins.Replace(patterns);
  const bool got = origins.Matches(url);
  const trb::AllowedOrigins::Verdict verdict = origins.Check(url);
  Check(!origins.IsEmpty() && !verdict.empty, "a replaced list reads as empty");
  Check(verdict.matches == got, "Check and Matches disagree");

  bool all_literal = true, literal_covers = false;
  const std::string v = DropPort(url);
  for (const std::string& p : patterns) {
    const std::optional<std::string> literal = LiteralText(p);
    if (!(all_literal = literal.has_value())) break;
    literal_covers = literal_covers || LiteralCovers(*literal, v);
  }
  if (all_literal) Check(got == literal_covers, "differs from the literal prefix reference");

  // std::regex backtracks: only inputs it finishes quickly and without deep recursion.
  if (list_text.size() <= 24 && url.size() <= 12 && patterns.size() <= 3 &&
      std::count_if(list_text.begin(), list_text.end(),
                    [](char c) { return std::strchr("*+?{", c) != nullptr && c != 0; }) <= 4) {
    const std::optional<bool> reference = ReferenceMatches(patterns, url);
    Check(!reference || got == *reference, "differs from std::regex");
  }

  origins.Clear();
  Check(origins.IsEmpty() && !origins.Matches(url), "a cleared list still covers");
  return 0;
}
