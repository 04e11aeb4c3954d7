// The allow-list: rewriting, matching examples and edge cases, bad patterns and inputs,
// agreement with the literal std::regex algorithm, and replacement under concurrent checks.
#include "policy/allowed_origins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "policy/origin_pattern.h"
#include "policy/pattern_reader.h"
#include "policy/split.h"
#include "support/case_name.h"
#include "support/oracles.h"

namespace trb {
namespace {

TEST(RewritePattern, FollowsTheRewritingTable) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"https://example.com", "^https://example.com.*$"},
      {"https://example.com:443/app", "^https://example.com/app.*$"},
      {"https://*.example.com", "^https://.*example.com.*$"},
      {"http://intranet:8080", "^http://intranet:8080.*$"},
      {"", "^.*$"},
      {"https://example.com:4430", "^https://example.com0.*$"},
      {"https://a:443:443b", "^https://ab.*$"},
      {"https://a:4:443 43", "^https://a:4 43.*$"},
      {"HTTPS://example.com:443", "^HTTPS://example.com:443.*$"},
      {"http://intranet:443", "^http://intranet:443.*$"},
      {"x//*.y//*.z", "^x//.*y//.*z.*$"},
      {"//*", "^//*.*$"},
  };
  for (const auto& [pattern, expected] : cases) EXPECT_EQ(RewritePattern(pattern), expected);
}

TEST(RewriteUrl, DropsDefaultPortOnlyFromHttps) {
  EXPECT_EQ(RewriteUrl("https://example.com:443/"), "https://example.com/");
  EXPECT_EQ(RewriteUrl("https://example.com:4430/:443"), "https://example.com0/");
  EXPECT_EQ(RewriteUrl("HTTPS://example.com:443/"), "HTTPS://example.com:443/");
  EXPECT_EQ(RewriteUrl("http://example.com:443/"), "http://example.com:443/");
}

struct MatchCase {
  std::vector<std::string> patterns;
  std::string url;
  bool covered;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << (c.covered ? "covers " : "does not cover ") << c.url << " with";
  for (const std::string& p : c.patterns) *os << " [" << p << "]";
}

class AllowedOriginsCases : public ::testing::TestWithParam<MatchCase> {};

TEST_P(AllowedOriginsCases, MatchesLikeTheLiteralAlgorithm) {
  const MatchCase& c = GetParam();
  AllowedOrigins origins;
  origins.Replace(c.patterns);
  EXPECT_EQ(origins.Matches(c.url), c.covered) << c.url;
  EXPECT_EQ(test::ReferenceMatches(c.patterns, c.url), c.covered) << c.url;
  const AllowedOrigins::Verdict v = origins.Check(c.url);
  EXPECT_EQ(v.empty, c.patterns.empty());
  EXPECT_EQ(v.matches, c.covered);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, AllowedOriginsCases,
    ::testing::Values(MatchCase{{"https://example.com"}, "https://example.com/", true},
                      MatchCase{{"https://example.com"}, "https://EXAMPLE.COM/Path", true},
                      MatchCase{{"https://example.com"}, "https://example.com.other.org/", true},
                      MatchCase{{"https://example.com"}, "https://exampleXcom/", true},
                      MatchCase{{"https://example.com"}, "http://example.com/", false},
                      MatchCase{{"https://example.com"}, "https://example.org/", false},
                      MatchCase{{"https://*.example.com"}, "https://a.b.example.com/x", true},
                      MatchCase{{"https://*.example.com"}, "https://example.com/", true},
                      MatchCase{{"https://*.example.com"}, "https://notexample.com/", true},
                      MatchCase{{"https://*.example.com"}, "https://example.org/", false},
                      MatchCase{{"https://example.com:443"}, "https://example.com/", true},
                      MatchCase{{"https://example.com"}, "https://example.com:443/", true},
                      MatchCase{
                          {"https://example.com:443/app"}, "https://example.com:443/app/x", true},
                      MatchCase{{"https://example.com:4430"}, "https://example.com0/", true},
                      MatchCase{{"https://example.com:4430"}, "https://example.com:4430/", true},
                      MatchCase{{"https://example.com:4430"}, "https://example.com:4431/", false},
                      MatchCase{{"HTTPS://example.com:443"}, "https://example.com/", false},
                      MatchCase{{"HTTPS://example.com:443"}, "http://EXAMPLE.com:443/", false},
                      MatchCase{{"HTTPS://example.com"}, "https://example.com/", true},
                      MatchCase{{"http://intranet:443"}, "http://intranet:443/", true},
                      MatchCase{{"http://intranet:443"}, "http://intranet/", false},
                      MatchCase{{"http://intranet:8080"}, "http://INTRANET:8080/a", true},
                      MatchCase{{""}, "https://anything.org/", true},
                      MatchCase{{""}, "about:blank", true},
                      MatchCase{{"a", "", "b"}, "https://x/", true},
                      MatchCase{{"https://a.org", "https://b.org"}, "https://b.org/", true},
                      MatchCase{{"https://b.org", "https://a.org"}, "https://b.org/", true},
                      MatchCase{{"https://a.org|https://b.org"}, "https://b.org/", true},
                      MatchCase{{"https://a.org|https://b.org"}, "https://a.org/", false},
                      MatchCase{{"https://a.org|https://b.org"}, "https://a.org", true},
                      MatchCase{{"https://[ab]\\.org"}, "https://B.org/", true},
                      MatchCase{{"https://example\\.com"}, "https://exampleXcom/", false},
                      MatchCase{{"https://x\\.org$"}, "https://x.org", true},
                      MatchCase{{"https://x\\.org$"}, "https://x.org/", false},
                      MatchCase{{"https://(a)\\1\\.org"}, "https://aa.org/", true},
                      MatchCase{{"https://a(?=b)"}, "https://ab/", true},
                      MatchCase{{"https://a(?!b)"}, "https://ab/", false},
                      // A lookahead is a match of its own: \\b at its start sees only what
                      // follows, so it holds exactly before a word byte, the edges included.
                      MatchCase{{"https://x(?=\\b[09azAZ_])"}, "https://x9/", true},
                      MatchCase{{"https://x(?=\\b[09azAZ_])"}, "https://x0/", true},
                      MatchCase{{"https://x(?=\\b[09azAZ_])"}, "https://xz/", true},
                      MatchCase{{"https://x(?=\\b[09azAZ_])"}, "https://xA/", true},
                      MatchCase{{"https://x(?=\\b[09azAZ_])"}, "https://x_/", true},
                      MatchCase{{"https://x(?=\\B.)"}, "https://x-/", true},
                      MatchCase{{"https://x(?=\\B.)"}, "https://x9/", false},
                      MatchCase{{"https://example.com"}, "https://example.com/\n", false},
                      MatchCase{{"https://caf\xc3\xa9.org"}, "https://CAF\xc3\xa9.org/", true},
                      MatchCase{{}, "https://example.com/", false}),
    [](const auto& info) {
      return test::CaseName(
          (info.param.patterns.empty() ? std::string("none") : info.param.patterns[0]) + " " +
              info.param.url,
          info.index);
    });

TEST(AllowedOrigins, EmptyListCoversNothingAndIsEmpty) {
  AllowedOrigins origins;
  EXPECT_TRUE(origins.IsEmpty());
  EXPECT_FALSE(origins.Matches("https://example.com/"));
  origins.Replace({});
  EXPECT_TRUE(origins.IsEmpty());
  origins.Replace({""});
  EXPECT_FALSE(origins.IsEmpty());
  EXPECT_TRUE(origins.Matches("https://example.com/"));
  origins.Clear();
  EXPECT_TRUE(origins.IsEmpty());
  EXPECT_FALSE(origins.Matches("https://example.com/"));
}

TEST(AllowedOrigins, InvalidPatternsNeverMatchAndNeverThrow) {
  for (const char* bad : {"https://exa(mple", "https://a)", "[", "https://a{2,1}", "\\",
                          "https://a{", "*", "https://(?<x)", "https://[b-a]"}) {
    AllowedOrigins origins;
    ASSERT_NO_THROW(origins.Replace({bad}));
    bool covered = true;
    ASSERT_NO_THROW(covered = origins.Matches(std::string(bad) + "/x"));
    EXPECT_FALSE(covered) << bad;
    EXPECT_FALSE(test::ReferenceMatches({bad}, std::string(bad) + "/x"));
    origins.Replace({bad, "https://ok.org"});
    EXPECT_TRUE(origins.Matches("https://ok.org/")) << bad;
  }
}

TEST(AllowedOrigins, PatternsBeyondStdRegexBoundsNeverMatch) {
  const std::string long_pattern = "https://" + std::string(kMaxPatternBytes, 'a');
  AllowedOrigins origins;
  origins.Replace({long_pattern});
  EXPECT_FALSE(origins.Matches(long_pattern));

  const auto nested = [](const char* open, int depth) {
    std::string p = "https://";
    for (int i = 0; i < depth; ++i) p += open;
    p += "a";
    for (int i = 0; i < depth; ++i) p += ")";
    return p;
  };
  for (const char* open : {"(", "(?:", "(?="}) {
    origins.Replace({nested(open, kMaxPatternDepth + 1)});
    EXPECT_FALSE(origins.Matches("https://a/")) << open;
    origins.Replace({nested(open, kMaxPatternDepth)});
    EXPECT_TRUE(origins.Matches("https://a/")) << open;
  }
  // Found by fuzzing: libstdc++ reads these numbers into a long without an overflow check.
  for (const char* p : {"a{15555555555555555555}", "a{1,1234567890}", "(a)\\1555555555555555555"}) {
    EXPECT_TRUE(BeyondStdRegexBounds(RewritePattern(p))) << p;
    origins.Replace({p, "https://ok\\.example/"});
    EXPECT_FALSE(origins.Matches("aaaa")) << p;
    EXPECT_TRUE(origins.Matches("https://ok.example/")) << p;
  }
  for (const char* p :
       {"a{123456789}", "https://x/12345678901234", "a\\{12345678901}", "[{]12345678901"})
    EXPECT_FALSE(BeyondStdRegexBounds(RewritePattern(p))) << p;
}

// Patterns std::regex accepts but whose meaning there cannot be expressed faithfully: they
// cover nothing (see README "Allow-list limits"), and the rest of the list still works.
TEST(AllowedOrigins, UnexpressiblePatternsFailClosed) {
  std::string stacked = "https://a";
  for (int i = 0; i <= kMaxTreeDepth; ++i) stacked += "{1}";
  const struct {
    std::string pattern;
    std::string url;
  } cases[] = {
      {"https://(?=(a))\\1", "https://a/"},  // a group inside a lookahead, referenced
      {"https://(?=a*^)", "https://a/"},     // ^ in a lookahead after a variable width
      {"https://(?=a?\\b)", "https://a/"},   // \b likewise
      {stacked, "https://a/"},               // quantifiers stacked beyond the reader's depth
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(test::ReferenceMatches({c.pattern}, c.url)) << c.pattern;
    AllowedOrigins origins;
    origins.Replace({c.pattern, "https://ok\\.example/"});
    EXPECT_FALSE(origins.Matches(c.url)) << c.pattern;
    EXPECT_TRUE(origins.Matches("https://ok.example/")) << c.pattern;
  }
}

TEST(AllowedOrigins, LongUrlsAreCheckedWhole) {
  const std::string url = "https://example.com/" + std::string(2 << 20, 'p');
  AllowedOrigins origins;
  origins.Replace({"https://example.com"});
  EXPECT_TRUE(origins.Matches(url));
  EXPECT_TRUE(origins.Matches("https://example.com:443/" + std::string(2 << 20, 'p')));
  origins.Replace({"https://other.org", "https://*.other.org"});
  EXPECT_FALSE(origins.Matches(url));
  origins.Replace({"https://*.com/p", "https://x$"});
  EXPECT_TRUE(origins.Matches(url));
  EXPECT_FALSE(origins.Matches(url + "\n"));  // ".*$" stops at a line break
  // Lookahead on a URL longer than std::regex could take safely: allowed, as std::regex
  // allows it where it can answer.
  origins.Replace({"http://(?!evil)127\\.0\\.0\\.1:8080/"});
  for (size_t n : {10u, 3000u, 2u << 20}) {
    EXPECT_TRUE(origins.Matches("http://127.0.0.1:8080/" + std::string(n, 'q'))) << n;
    EXPECT_FALSE(origins.Matches("http://evil127.0.0.1:8080/" + std::string(n, 'q'))) << n;
  }
  origins.Replace({"https://(e)xampl\\1\\.com/"});
  EXPECT_TRUE(origins.Matches(url));
  // A match found late in a long URL by an open-ended pattern.
  origins.Replace({"https://.*example\\.com/.*token"});
  EXPECT_TRUE(origins.Matches("https://example.com/" + std::string(50000, 'p') + "token"));
}

// Inputs that make a backtracking engine, or RE2's DFA, take seconds or hours: every check
// comes back, and a check that runs out of its budget says "not covered".
TEST(AllowedOrigins, HostileListsAndUrlsComeBack) {
  std::string thousand_alts = "(a|a)";
  for (int i = 0; i < 10; ++i) thousand_alts += "(a|a)";
  std::vector<std::string> many;
  for (int i = 0; i < 5007; ++i) many.push_back("https://.*a.{20}b" + std::to_string(i));
  const struct {
    const char* name;
    std::vector<std::string> list;
    std::string url;
  } cases[] = {
      {"NestedStars", {"(a*)*\\1b"}, std::string(2000, 'a')},
      {"ManyAlternatives", {thousand_alts + "\\1b"}, std::string(41, 'a')},
      {"CountedDotStar", {"(?:.*a){100}z"}, std::string(2 << 20, 'a')},
      {"DfaBlowUp", {"https://.*a.{20}b"}, "https://" + std::string(2 << 20, 'a')},
      {"QuadraticBackref", {"(.*)\\1z"}, std::string(100000, 'a')},
      {"FiveThousandPatterns", many, "https://" + std::string(100000, 'a')},
  };
  for (const auto& c : cases) {
    AllowedOrigins origins;
    origins.Replace(c.list);
    EXPECT_FALSE(origins.Matches(c.url)) << c.name;
  }
  // Within its budget the same kind of pattern still covers what std::regex says it covers.
  AllowedOrigins origins;
  origins.Replace({"(a*)*\\1b", "(?:.*a){100}z"});
  EXPECT_TRUE(origins.Matches("aaaab/x"));
  EXPECT_TRUE(origins.Matches(std::string(100, 'a') + "z"));
}

// Origin-like patterns made of hosts, ports, wildcards and regular-expression pieces.
std::string Piece(std::mt19937& rng, const std::vector<std::string>& pieces) {
  return pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
}

// The decisions equal std::regex's for every list the browser does not refuse on purpose.
TEST(AllowedOrigins, AgreesWithLiteralAlgorithmOnGeneratedLists) {
  const std::vector<std::string> schemes = {"https://", "http://", "HTTPS://", "", "https:/"};
  // Quantifiers only follow single atoms: nested ones make std::regex, the oracle here,
  // backtrack exponentially even on short URLs.
  const std::vector<std::string> atoms = {
      "example", ".",      "com",   ":443",        ":4430",       "*.",      "/",       "app",
      "a",       "(",      ")",     "[a-z]",       "\\.",         "|",       "$",       "^",
      "\\d",     "E",      "x",     "(?:o|e)",     "\\1",         "(?=e)",   "-",       "\xc3\xa9",
      "[^/]",    "(?!x)",  "\\b",   "\\B",         "[^]",         "[]",      "\\0",     "\\cA",
      "[\\d-z]", "\\w",    "\\S",   "[[:alpha:]]", "[[:upper:]]", "(a)",     "\\2",     "]",
      "}",       "[a-]",   "\\x41", "\\u00e9",     "[.]",         "(?=^h)",  "(?=\\b)", "\\/",
      "[\\W]",   "[^\\D]", "{",     "[Z-a]",       "[[.a.]]",     "[[=e=]]", "\\e",     "_"};
  const std::vector<std::string> quantifiers = {"?", "*", "+", "{2}", "{1,3}", "*?", "{0}", ""};
  const std::vector<std::string> url_bits = {
      "example", ".", "com", ":443", ":4430", "/", "app", "a",  "E",        "o",       "ee",
      "\n",      "x", "1",   "\r",   "_",     " ", "A",   "\0", "\xc3\xa9", "EXAMPLE", ".org"};
  std::mt19937 rng(7);
  int covered = 0;
  int compared = 0;
  int refused = 0;
  int uses[3] = {};
  for (int i = 0; i < 6000; ++i) {
    std::vector<std::string> patterns;
    const int n = std::uniform_int_distribution<int>(1, 3)(rng);
    for (int k = 0; k < n; ++k) {
      std::string p = Piece(rng, schemes);
      const int len = std::uniform_int_distribution<int>(0, 6)(rng);
      for (int j = 0; j < len; ++j) {
        const std::string atom = Piece(rng, atoms);
        p += atom;
        if (atom != "*." && atom != "(" && atom != "|" && rng() % 3 == 0) {
          p += Piece(rng, quantifiers);
        }
      }
      patterns.push_back(p);
    }
    // A pattern std::regex accepts but the browser refuses (see
    // UnexpressiblePatternsFailClosed) has no literal answer to agree with.
    bool refuses = false;
    for (const std::string& p : patterns) {
      const std::string r = RewritePattern(p);
      const OriginPattern::Use use = OriginPattern(r).use();
      ++uses[static_cast<int>(use)];
      if (use != OriginPattern::Use::kNever) continue;
      try {
        std::regex(r, std::regex::ECMAScript | std::regex::icase);
        refuses = true;
      } catch (const std::regex_error&) {
      }
    }
    if (refuses) {
      ++refused;
      continue;
    }
    AllowedOrigins origins;
    origins.Replace(patterns);
    const test::ReferenceList reference(patterns);
    for (int u = 0; u < 8; ++u) {
      std::string url = Piece(rng, {"https://", "http://", "HTTPS://", "ftp://"});
      const int len = std::uniform_int_distribution<int>(0, 6)(rng);
      for (int j = 0; j < len; ++j) url += Piece(rng, url_bits);
      const bool expected = reference.Matches(url);
      covered += expected;
      ++compared;
      ASSERT_EQ(origins.Matches(url), expected)
          << "url " << url << " first pattern " << patterns[0] << " of " << patterns.size();
    }
  }
  EXPECT_GT(covered, compared / 10);  // both answers must be well represented
  EXPECT_LT(covered, compared * 9 / 10);
  EXPECT_LT(refused, 60);  // the refused constructs are rare
  std::printf(
      "compared %d (covered %d), lists refused %d; patterns invalid %d, PCRE2 %d, both %d\n",
      compared, covered, refused, uses[0], uses[1], uses[2]);
}

TEST(AllowedOrigins, ReplaceAndMatchFromTwoThreads) {
  AllowedOrigins origins;
  const std::vector<std::string> a = {"https://a.org", "https://(a)\\1", "x(", "https://*.a.org"};
  const std::vector<std::string> b = {"https://b.org"};
  origins.Replace(a);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      origins.Replace(i % 2 ? a : b);
      if (i % 7 == 0) origins.Clear();
    }
    origins.Replace(b);
    stop = true;
  });
  int checks = 0;
  while (!stop || checks < 100) {
    const bool on_a = origins.Matches("https://a.org/");
    const AllowedOrigins::Verdict v = origins.Check("https://b.org/");
    // No list holds a pattern for both; only an empty list gives empty.
    EXPECT_FALSE(v.empty && v.matches);
    (void)on_a;
    ++checks;
  }
  writer.join();
  EXPECT_FALSE(origins.Matches("https://a.org/"));
  EXPECT_TRUE(origins.Matches("https://b.org/"));
}

}  // namespace
}  // namespace trb
