// The allow-list: rewriting, matching examples and edge cases, bad patterns and inputs,
// agreement with the literal std::regex algorithm, and replacement under concurrent checks.
#include "policy/allowed_origins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "policy/origin_pattern.h"
#include "policy/regex_program.h"
#include "policy/split.h"

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

class AllowedOriginsCases : public ::testing::TestWithParam<MatchCase> {};

TEST_P(AllowedOriginsCases, MatchesLikeTheLiteralAlgorithm) {
  const MatchCase& c = GetParam();
  AllowedOrigins origins;
  origins.Replace(c.patterns);
  EXPECT_EQ(origins.Matches(c.url), c.covered) << c.url;
  EXPECT_EQ(ReferenceMatches(c.patterns, c.url), c.covered) << c.url;
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
                      MatchCase{{"https://example.com"}, "https://example.com/\n", false},
                      MatchCase{{"https://caf\xc3\xa9.org"}, "https://CAF\xc3\xa9.org/", true},
                      MatchCase{{}, "https://example.com/", false}));

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

TEST(AllowedOrigins, ListTextWithEmptyPiecesCoversEverything) {
  for (const char* text : {"a||b", "|", "|a"}) {
    AllowedOrigins origins;
    origins.Replace(SplitAtBars(text));
    EXPECT_TRUE(origins.Matches("https://example.com/")) << text;
  }
  AllowedOrigins origins;
  origins.Replace(SplitAtBars("https://a.org|"));
  EXPECT_FALSE(origins.Matches("https://b.org/"));
}

TEST(AllowedOrigins, ReplaceDropsTheOldList) {
  AllowedOrigins origins;
  origins.Replace({"https://a.org"});
  EXPECT_TRUE(origins.Matches("https://a.org/"));
  origins.Replace({"https://b.org"});
  EXPECT_FALSE(origins.Matches("https://a.org/"));
  EXPECT_TRUE(origins.Matches("https://b.org/"));
}

TEST(AllowedOrigins, InvalidPatternsNeverMatchAndNeverThrow) {
  for (const char* bad : {"https://exa(mple", "https://a)", "[", "https://a{2,1}", "\\",
                          "https://a{", "*", "https://(?<x)", "https://[b-a]"}) {
    AllowedOrigins origins;
    ASSERT_NO_THROW(origins.Replace({bad}));
    bool covered = true;
    ASSERT_NO_THROW(covered = origins.Matches(std::string(bad) + "/x"));
    EXPECT_FALSE(covered) << bad;
    EXPECT_FALSE(ReferenceMatches({bad}, std::string(bad) + "/x"));
    origins.Replace({bad, "https://ok.org"});
    EXPECT_TRUE(origins.Matches("https://ok.org/")) << bad;
  }
}

TEST(AllowedOrigins, PatternsBeyondTheCompileLimitsNeverMatch) {
  const std::string long_pattern = "https://" + std::string(kMaxPatternBytes, 'a');
  AllowedOrigins origins;
  origins.Replace({long_pattern});
  EXPECT_FALSE(origins.Matches(long_pattern));

  std::string deep = "https://";
  for (int i = 0; i <= kMaxPatternDepth; ++i) deep += "(";
  deep += "a";
  for (int i = 0; i <= kMaxPatternDepth; ++i) deep += ")";
  EXPECT_EQ(GroupDepth(deep), kMaxPatternDepth + 1);
  origins.Replace({deep});
  EXPECT_FALSE(origins.Matches("https://a/"));

  std::string shallow = "https://";
  for (int i = 0; i < kMaxPatternDepth; ++i) shallow += "(?:";
  shallow += "a";
  for (int i = 0; i < kMaxPatternDepth; ++i) shallow += ")";
  origins.Replace({shallow});
  EXPECT_TRUE(origins.Matches("https://a/"));
}

TEST(GroupDepth, IgnoresEscapesAndBrackets) {
  EXPECT_EQ(GroupDepth("a(b(c))(d)"), 2);
  EXPECT_EQ(GroupDepth("\\(\\(a"), 0);
  EXPECT_EQ(GroupDepth("[((]a"), 0);
  EXPECT_EQ(GroupDepth("[\\](](a)"), 1);
}

TEST(OriginPattern, PicksTheEngine) {
  EXPECT_EQ(OriginPattern(RewritePattern("https://x.org")).engine(),
            OriginPattern::Engine::kLinear);
  EXPECT_EQ(OriginPattern(RewritePattern("https://(x)\\1")).engine(),
            OriginPattern::Engine::kBacktracking);
  EXPECT_EQ(OriginPattern(RewritePattern("https://(x")).engine(), OriginPattern::Engine::kNever);
}

// Found by fuzzing: std::regex took exponential time on these, freezing every navigation.
TEST(OriginPattern, NumbersTooLargeForStdRegexAreInvalid) {
  EXPECT_TRUE(HasOversizedNumber("^a{15555555555555555555}.*$"));
  EXPECT_TRUE(HasOversizedNumber("^a{1,1234567890}.*$"));
  EXPECT_FALSE(HasOversizedNumber("^a{123456789}.*$"));
  EXPECT_FALSE(HasOversizedNumber("^https://x/12345678901234.*$"));  // digits, not a count
  EXPECT_FALSE(HasOversizedNumber("^a\\{12345678901}.*$"));          // an escaped brace
  EXPECT_TRUE(HasOversizedNumber("^(a)\\1555555555555555555.*$"));   // a back-reference
  EXPECT_FALSE(HasOversizedNumber("^(a)\\1.*$"));
  EXPECT_FALSE(HasOversizedNumber("^[{]12345678901.*$"));  // a brace in a class
  AllowedOrigins origins;
  origins.Replace({"a{15555555555555555555}", "https://ok\\.example/"});
  EXPECT_FALSE(origins.Matches("a"));
  EXPECT_TRUE(origins.Matches("https://ok.example/"));
}

TEST(OriginPattern, BacktrackingOnlyWhereItsSearchIsSmall) {
  const struct {
    const char* pattern;
    size_t limit;
  } cases[] = {
      {"https://(e)xampl\\1", kMaxBacktrackingUrlBytes},  // no quantifier
      {"https://(?=a)", kMaxBacktrackingUrlBytes},        // one lookahead
      {"(a)b*\\1", 128},                                  // a quantifier and a back-reference
      {"(a)b*c+\\1", 32},
      {"(a*)*\\1b", 0},  // a quantified group
      {"(a)a*a*a*\\1", 0},
      {"(a|a)(a|a)(a|a)(a|a)\\1", 0},  // four '|'
      {"(?=a){2}", 0},
      {"(b)[(*]a\\*\\1", kMaxBacktrackingUrlBytes},  // inside brackets and escaped
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BacktrackingUrlLimit(RewritePattern(c.pattern)), c.limit) << c.pattern;
    const OriginPattern compiled(RewritePattern(c.pattern));
    EXPECT_EQ(compiled.max_url_bytes(), c.limit) << c.pattern;
    EXPECT_EQ(compiled.engine(),
              c.limit == 0 ? OriginPattern::Engine::kNever : OriginPattern::Engine::kBacktracking)
        << c.pattern;
  }
  // The inputs that hung: they come back, uncovered.
  AllowedOrigins origins;
  origins.Replace({"(a*)*\\1b", "(a|a)(a|a)(a|a)(a|a)(a|a)(a|a)(a|a)(a|a)(a|a)(a|a)\\1b"});
  EXPECT_FALSE(origins.Matches(std::string(41, 'a')));
  EXPECT_FALSE(origins.Matches(std::string(2000, 'a')));
  // Within its limit a pattern still covers what std::regex says it covers.
  origins.Replace({"(a)b*\\1"});
  EXPECT_TRUE(origins.Matches("abbbba/x"));
  EXPECT_FALSE(origins.Matches("abbbba/" + std::string(200, 'x')));
}

TEST(AllowedOrigins, TwoMegabyteUrlNeverCrashes) {
  const std::string url = "https://example.com/" + std::string(2 << 20, 'p');
  AllowedOrigins origins;
  origins.Replace({"https://example.com"});
  EXPECT_TRUE(origins.Matches(url));
  EXPECT_TRUE(origins.Matches("https://example.com:443/" + std::string(2 << 20, 'p')));
  origins.Replace({"https://other.org", "https://*.other.org"});
  EXPECT_FALSE(origins.Matches(url));
  origins.Replace({"https://*.com/p"});
  EXPECT_TRUE(origins.Matches(url));
  // Open-ended pieces keep live threads across the whole URL, and still stay far below the
  // check's step ceiling.
  origins.Replace({"https://.*example\\.com/.*p.*token", "http://.*foo.*bar"});
  EXPECT_TRUE(origins.Matches(url + "token"));
  EXPECT_TRUE(origins.Matches("http://" + std::string(2 << 20, 'f') + "oobar"));
  EXPECT_FALSE(origins.Matches(url + "tokem"));
  // A pattern only the backtracking engine can run fails closed beyond its URL limit.
  origins.Replace({"https://(e)xampl\\1"});
  EXPECT_TRUE(origins.Matches("https://example.com/"));
  EXPECT_FALSE(origins.Matches(url));
  EXPECT_FALSE(origins.Matches(url.substr(0, kMaxBacktrackingUrlBytes + 1)));
  EXPECT_TRUE(origins.Matches(url.substr(0, kMaxBacktrackingUrlBytes)));
}

// Origin-like patterns made of hosts, ports, wildcards and regular-expression pieces.
std::string Piece(std::mt19937& rng, const std::vector<std::string>& pieces) {
  return pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
}

// Beyond what the browser lets std::regex compile, or valid for std::regex but beyond what
// the browser lets it backtrack through for `url`.
bool RefusedForItsSearch(const std::string& pattern, const std::string& url) {
  const std::string rewritten = RewritePattern(pattern);
  const OriginPattern compiled(rewritten);
  if (compiled.engine() == OriginPattern::Engine::kLinear) return false;
  if (compiled.engine() == OriginPattern::Engine::kBacktracking)
    return RewriteUrl(url).size() > compiled.max_url_bytes();
  if (BeyondStdRegexBounds(rewritten)) return true;  // and std::regex may not see it
  try {
    std::regex(rewritten, std::regex::ECMAScript | std::regex::icase);
  } catch (const std::regex_error&) {
    return false;  // invalid: covers nothing either way
  }
  return true;
}

// Thousands of live matcher threads per byte of a 2 MB URL would take minutes to step
// through; the check gives up at its step ceiling and counts the URL as not covered.
TEST(AllowedOrigins, HeavyPatternOnHugeUrlEndsWithinTheStepCeiling) {
  AllowedOrigins origins;
  origins.Replace({"(?:.*a){1000}z"});  // a thousand live threads at every byte
  EXPECT_FALSE(origins.Matches(std::string(2 << 20, 'a')));
  // A URL it does cover still matches: the ceiling is far above an ordinary check.
  EXPECT_TRUE(origins.Matches(std::string(1000, 'a') + "z"));
}

// A list whose patterns compile to more than the list's share of matcher instructions
// keeps the patterns that fit; those after them cover nothing.
TEST(AllowedOrigins, PatternsBeyondTheCompileBudgetCoverNothing) {
  const std::string heavy = "https://heavy\\.example/a{20000}";
  ASSERT_GT(RegexProgram::Compile(RewritePattern(heavy))->size(), 20000u);
  const size_t fit = kMaxListInstructions / RegexProgram::Compile(RewritePattern(heavy))->size();
  std::vector<std::string> patterns(fit + 10, heavy);
  patterns.push_back("https://plain\\.example/");
  AllowedOrigins origins;
  origins.Replace(patterns);
  EXPECT_TRUE(origins.Matches("https://heavy.example/" + std::string(20000, 'a')));
  EXPECT_FALSE(origins.Matches("https://plain.example/"));
  // Alone, the same pattern covers the URL.
  origins.Replace({"https://plain\\.example/"});
  EXPECT_TRUE(origins.Matches("https://plain.example/"));
}

TEST(AllowedOrigins, AgreesWithLiteralAlgorithmOnGeneratedLists) {
  const std::vector<std::string> schemes = {"https://", "http://", "HTTPS://", "", "https:/"};
  // Quantifiers only follow single atoms: nested ones make std::regex, the oracle here,
  // backtrack exponentially even on short URLs.
  const std::vector<std::string> atoms = {
      "example", ".",       "com",   ":443",  ":4430", "*.",       "/",   "app", "a",
      "(",       ")",       "[a-z]", "\\.",   "|",     "$",        "^",   "\\d", "E",
      "x",       "(?:o|e)", "\\1",   "(?=e)", "-",     "\xc3\xa9", "[^/]"};
  const std::vector<std::string> quantifiers = {"?", "*", "+", "{2}", "{1,3}", "*?", ""};
  const std::vector<std::string> url_bits = {"example", ".", "com",      ":443",    ":4430", "/",
                                             "app",     "a", "E",        "o",       "ee",    "\n",
                                             "x",       "1", "\xc3\xa9", "EXAMPLE", ".org"};
  std::mt19937 rng(7);
  int covered = 0;
  for (int i = 0; i < 3000; ++i) {
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
    AllowedOrigins origins;
    origins.Replace(patterns);
    for (int u = 0; u < 8; ++u) {
      std::string url = Piece(rng, {"https://", "http://", "HTTPS://", "ftp://"});
      const int len = std::uniform_int_distribution<int>(0, 6)(rng);
      for (int j = 0; j < len; ++j) url += Piece(rng, url_bits);
      // Patterns whose backtracking could run away are refused on purpose (see
      // BacktrackingUrlLimit): those lists have no literal answer to agree with.
      if (std::any_of(patterns.begin(), patterns.end(),
                      [&](const std::string& p) { return RefusedForItsSearch(p, url); })) {
        continue;
      }
      const bool expected = ReferenceMatches(patterns, url);
      covered += expected;
      ASSERT_EQ(origins.Matches(url), expected)
          << "url " << url << " first pattern " << patterns[0] << " of " << patterns.size();
    }
  }
  EXPECT_GT(covered, 1000);  // both answers must be well represented
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
