// The navigation policy: the allow-list, the decisions, the splitters, the hand-off pacer.
#include <gtest/gtest.h>

#include <random>

#include "policy/decisions.h"
#include "policy/hand_off_limiter.h"
#include "policy/origin_pattern.h"
#include "policy/pages.h"
#include "policy/pattern_reader.h"
#include "policy/split.h"
#include "support/case_name.h"
#include "support/oracles.h"

namespace trb {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using List = std::vector<std::string>;

std::string Times(int n, std::string_view text) { return n > 0 ? Times(n - 1, text) += text : ""; }

bool Covers(const List& list, std::string_view url) {
  AllowedOrigins origins;
  origins.Replace(list);
  return origins.Matches(url);
}

// Every pattern on every URL, alone and all in one list; fixed answers hold the shared rewriting.
TEST(AllowedOrigins, AgreesWithTheLiteralAlgorithmOnChosenPatterns) {
  // clang-format off
  const std::tuple<std::string, std::string, bool> fixed[] = {
      {"https://e.com", "https://E.COM/Path", true}, {"https://e.com", "https://eXcom.org/", true},
      {"https://e:443/a", "https://e:443/a/x", true}, {"https://e:4430", "https://e:4431/", false},
      {"https://a:443:443b", "https://ab/", true}, {"http://i:443", "http://i/", false},
      {"HTTPS://e:443", "https://e/", false}, {"https://a|https://b", "https://a/", false},
      {"https://x", "https://x/\n", false}, {"", "about:blank", true}};
  const List patterns = {
      "https://example.com", "https://*.example.com", "https://example\\.com:443/app",
      "HTTPS://example.com", "https://a.org|https://b.org", "https://[ab]\\.org",
      "https://x\\.org$", "https://x\\x3Ay", "https://xa{2,}y", "https://(a)\\1\\.org",
      "https://(a)(?=\\1)", "https://a(?!b)", "https://x(?=\\b[09azAZ_])", "https://x(?=\\B.)",
      "https://x(?=\\b^)", "https://x(?=a\\b)", "https://x(?=a+\\b)", "https://caf\xc3\xa9.org",
      "https://x[^]", "https://x\\w\\W", "https://(?:x|xa)(?!a)", "https://x.?a?y"};
  const List urls = {
      "https://EXAMPLE.COM/Path", "https://example.com:443/app/x", "http://example.com/",
      "https://a.b.example.com/", "https://a.org", "https://a.org/", "https://B.org/",
      "https://x.org", "https://x.org/", "https://x:y/", "https://xay/", "https://xaay/",
      "https://aa.org/", "https://aa/", "https://ab/", "https://xa/", "https://xaa-",
      "https://x9/", "https://x0/", "https://xz/", "https://xA/", "https://x_/", "https://x-/",
      "https://x\n", "https://CAF\xc3\xa9.org/", "about:blank"};
  // clang-format on
  for (const auto& [p, url, covered] : fixed)
    EXPECT_TRUE(Covers({p}, url) == covered && test::ReferenceMatches({p}, url) == covered)
        << p << " on " << url;
  AllowedOrigins all;
  all.Replace(patterns);
  for (const std::string& url : urls) {
    bool any = false;
    for (const std::string& p : patterns) {
      const bool expected = test::ReferenceMatches({p}, url);
      any = any || expected;
      EXPECT_EQ(Covers({p}, url), expected) << p << " on " << url;
    }
    EXPECT_EQ(all.Check(url).matches, any) << url;
  }
}

// Invalid, beyond std::regex's safe bounds, or not faithfully expressible: covers nothing.
TEST(AllowedOrigins, PatternsItCannotTakeCoverNothing) {
  const auto nested = [](const char* open, int n) {
    return "https://" + Times(n, open) + "a" + Times(n, ")");
  };
  // clang-format off
  for (const std::string& bad : {"https://exa(mple"s, "https://a)"s, "["s, "https://a{2,1}"s,
       "\\"s, "https://a{"s, "*"s, "https://(?<x)"s, "https://[b-a]"s,
       "https://" + std::string(kMaxPatternBytes, 'a'), nested("(", kMaxPatternDepth + 1),
       nested("(?:", kMaxPatternDepth + 1), nested("(?=", kMaxPatternDepth + 1),
       "a{15555555555555555555}"s, "a{1,1234567890}"s, "(a)\\1555555555555555555"s,
       "https://(?=(a))\\1"s, "https://(?=a*^)"s, "https://(?=a?\\b)"s,
       "https://a" + Times(kMaxTreeDepth + 1, "{1}")}) {
    // clang-format on
    for (const std::string& url : {bad + "/x", "https://aaaa/"s, "aaaa"s})
      EXPECT_FALSE(Covers({bad, "https://ok\\.example/"}, url)) << bad << " on " << url;
    EXPECT_TRUE(Covers({bad, "https://ok\\.example/"}, "https://ok.example/")) << bad;
  }
  for (const char* open : {"(", "(?:", "(?="})
    EXPECT_TRUE(Covers({nested(open, kMaxPatternDepth)}, "https://a/")) << open;
  for (const char* p : {"a{123456789}", "https://x/12345678901234", "a\\{12345678901}"})
    EXPECT_FALSE(BeyondStdRegexBounds(RewritePattern(p))) << p;
}

TEST(AllowedOrigins, LongAndHostileUrlsAreCheckedWholeOrRefusedInTime) {
  const std::string path(2 << 20, 'p'), url = "https://example.com/" + path;
  const std::pair<List, std::string> covered[] = {
      {{"https://example.com"}, url},
      {{"https://example.com"}, "https://example.com:443/" + path},
      {{"https://*.com/p", "https://x$"}, url},
      {{"https://(e)xampl\\1\\.com/"}, url},
      {{"https://.*e\\.com/.*token"}, "https://e.com/" + path.substr(0, 50000) + "token"},
      {{"http://(?!evil)127\\.0\\.0\\.1:8080/"}, "http://127.0.0.1:8080/" + path}};
  for (const auto& [list, u] : covered) {
    EXPECT_TRUE(Covers(list, u)) << list[0];
    EXPECT_FALSE(Covers(list, u + "\n")) << list[0];  // ".*$" stops at a line break
  }
  EXPECT_FALSE(Covers({"https://other.org", "https://*.other.org"}, url));
  EXPECT_FALSE(Covers({"http://(?!evil)127"}, "http://evil127.0.0.1:8080/" + path));
  // What makes a backtracking engine, or RE2's DFA, take hours comes back "not covered".
  List many;
  for (int i = 0; i < 5007; ++i) many.push_back("https://.*a.{20}b" + std::to_string(i));
  EXPECT_FALSE(Covers({"(a*)*\\1b"}, std::string(2000, 'a')));
  EXPECT_FALSE(Covers({Times(11, "(a|a)") + "\\1b"}, std::string(41, 'a')));
  EXPECT_FALSE(Covers({"(?:.*a){100}z"}, std::string(2 << 20, 'a')));
  EXPECT_FALSE(Covers({"https://.*a.{20}b"}, "https://" + std::string(2 << 20, 'a')));
  EXPECT_FALSE(Covers({"(.*)\\1z"}, std::string(100000, 'a')));
  EXPECT_FALSE(Covers(many, "https://" + std::string(100000, 'a')));
  EXPECT_TRUE(Covers({"(a*)*\\1b"}, "aaaab/x"));  // within the budget they still cover
  EXPECT_TRUE(Covers({"(?:.*a){100}z"}, std::string(100, 'a') + "z"));
}

using Action = NavigationDecision::Action;
constexpr Action kHand = Action::kHandToOs, kAllow = Action::kAllow, kDeny = Action::kDeny;
constexpr const char* kA = "https://allowed.org";
using BrowseCase = std::tuple<const char*, std::string, Action>;  // no pattern: no list
class BeforeBrowse : public ::testing::TestWithParam<BrowseCase> {};

TEST_P(BeforeBrowse, DecidesAndComposesTheDeniedPage) {
  const auto& [pattern, url, action] = GetParam();
  AllowedOrigins origins;
  if (pattern) origins.Replace({pattern});
  const NavigationDecision d = DecideBeforeBrowse(url, origins);
  EXPECT_EQ(d.action, action);
  EXPECT_EQ(d.page_url, action == kDeny ? MakeDataURL(AccessDeniedPage(url), "text/html") : "");
}

// "tavrin:" (exactly) is handed over, HTML data: URLs pass, all else meets the list if one is set.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Branches, BeforeBrowse, ::testing::ValuesIn(std::vector<BrowseCase>{
    {nullptr, "tavrin:open?x", kHand}, {kA, "tavrin:open?x", kHand}, {kA, "tavrin:", kHand},
    {kA, "tavrin", kDeny}, {nullptr, "tavrin", kAllow}, {kA, "TAVRIN:x", kDeny},
    {kA, "tavrinx:foo", kDeny}, {"tavrin", "tavrinx:foo", kAllow},
    {kA, "data:text/html;base64,YWJj", kAllow}, {kA, "data:text/html", kAllow},
    {kA, "data:text/htm", kDeny}, {kA, "DATA:text/html,x", kDeny},
    {kA, "data:text/plain,hi", kDeny}, {"data:text/plain", "data:text/plain,hi", kAllow},
    {kA, "https://ALLOWED.org:443/page", kAllow}, {kA, "https://other.org/<x>&", kDeny},
    {kA, "about:blank", kDeny}, {nullptr, "about:blank", kAllow}, {"x(", kA, kDeny}}),
  [](const auto& info) {
    const BrowseCase& c = info.param;
    return test::CaseName((std::get<0>(c) ? "list " : "none ") + std::get<1>(c), info.index);
  });
// clang-format on

TEST(Split, FixedSplittersCutAsTheRegularExpressionsWould) {
  EXPECT_EQ(test::SplitByRegex(";a;;b;", ";"), (std::vector<std::string>{"", "a", "", "b"}));
  const std::string alphabet("ab;| \t\n\v\f\r\xa0\x85\0", 13);
  std::mt19937 rng(99);
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    for (int k = static_cast<int>(rng() % 16); k > 0; --k) text += alphabet[rng() % 13];
    ASSERT_EQ(SplitAtSemicolons(text), test::SplitByRegex(text, ";")) << text;
    ASSERT_EQ(SplitAtWhitespace(text), test::SplitByRegex(text, "\\s+")) << text;
    ASSERT_EQ(SplitAtBars(text), test::SplitByRegex(text, "\\|")) << text;
  }
}

TEST(HandOffLimiter, BurstThenOnePerInterval) {
  using L = HandOffLimiter;
  const auto t0 = L::Clock::time_point{} + 1h;
  L limiter;
  for (int i = 0; i < L::kBurst; ++i) EXPECT_TRUE(limiter.Allow(t0)) << i;
  EXPECT_FALSE(limiter.Allow(t0 + L::kInterval - 1ms));
  EXPECT_TRUE(limiter.Allow(t0 + L::kInterval));
  EXPECT_FALSE(limiter.Allow(t0 + L::kInterval));
  // Quiet time refills the burst, no more; a page looping every 7 ms keeps what it waited.
  int passed = 0;
  for (int i = 0; i < 2000; ++i) passed += limiter.Allow(t0 + 10min + i * 7ms);
  EXPECT_EQ(passed, L::kBurst + 1999 * 7 / L::kInterval.count());
}

}  // namespace
}  // namespace trb
