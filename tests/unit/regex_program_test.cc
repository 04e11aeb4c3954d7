// The linear-time matcher against libstdc++'s std::regex (ECMAScript | icase), which is the
// behaviour it has to reproduce, on hand-picked and generated patterns.
#include "policy/regex_program.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace trb {
namespace {

std::optional<bool> StdMatch(const std::string& pattern, const std::string& input) {
  try {
    const std::regex re(pattern, std::regex::ECMAScript | std::regex::icase);
    return std::regex_match(input, re);
  } catch (const std::regex_error&) {
    return std::nullopt;
  }
}

struct Case {
  std::string pattern;
  std::string input;
  bool matches;
};

class RegexProgramCases : public ::testing::TestWithParam<Case> {};

TEST_P(RegexProgramCases, AgreesWithTableAndStdRegex) {
  const Case& c = GetParam();
  const auto program = RegexProgram::Compile(c.pattern);
  ASSERT_TRUE(program.has_value()) << c.pattern;
  EXPECT_EQ(program->FullMatch(c.input), c.matches) << c.pattern << " on " << c.input;
  EXPECT_EQ(StdMatch(c.pattern, c.input), std::optional<bool>(c.matches));
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, RegexProgramCases,
    ::testing::Values(
        Case{"abc", "abc", true}, Case{"abc", "ABC", true}, Case{"abc", "abcd", false},
        Case{"a.c", "a\nc", false}, Case{"a.c", "a\rc", false},
        Case{"a.c",
             "a\xe9"
             "c",
             true},
        Case{"a|b", "b", true}, Case{"a|b", "ab", false}, Case{"(ab)+", "abAB", true},
        Case{"(?:ab)*c", "c", true}, Case{"a{2}", "aa", true}, Case{"a{2}", "a", false},
        Case{"a{2,}", "aaaa", true}, Case{"a{1,2}", "aaa", false}, Case{"a{2}?", "aa", true},
        Case{"a{2}?", "", false}, Case{"a*?b", "aab", true}, Case{"a**", "aaa", true},
        Case{"[a-c]+", "CAB", true}, Case{"[^a-c]", "d", true}, Case{"[^a-c]", "B", false},
        Case{"[A-Z]", "q", true}, Case{"[\\d.]+", "1.2", true}, Case{"\\d+", "12x", false},
        Case{"\\D", "x", true}, Case{"\\w+", "a_1", true}, Case{"\\W", "-", true},
        Case{"\\s", "\v", true}, Case{"\\S", " ", false}, Case{"[-a]+", "-a", true},
        Case{"[a-]+", "-a", true}, Case{"[a-c-e]+", "-e", true}, Case{"[]", "a", false},
        Case{"[^]", "\n", true}, Case{"\\bab\\b", "ab", true}, Case{"a\\Bb", "ab", true},
        Case{"a\\bb", "ab", false}, Case{"^a$", "a", true}, Case{"a^", "a", false},
        Case{"\\x41", "a", true}, Case{"\\u0042", "b", true}, Case{"\\cj", "J", true},
        Case{"\\0", std::string(1, '\0'), true}, Case{"[\\b]", "\b", true}, Case{"\\.", ".", true},
        Case{"\\.", "x", false}, Case{"a]}", "A]}", true}, Case{"[\\x80-\\xff]", "\xe9", true},
        Case{"[\\x80-\\xff]", "a", false}, Case{"\xc3\xa9", "\xc3\xa9", true},
        Case{"\xc3\xa9", "\xc3\x89", false}, Case{"(a|)*b", "aab", true},
        Case{"(a*)*", "aaa", true}, Case{"", "", true}, Case{"()", "", true},
        Case{"x(?:)y", "xy", true}, Case{"^.*$", "", true}, Case{"^a.*$", "a\n", false},
        Case{"^a.*$|b", "b", true}));

TEST(RegexProgram, RefusesWhatOnlyABacktrackerCanDo) {
  for (const char* p : {"(a)\\1", "a(?=b)", "a(?!b)", "[[:alpha:]]", "[[.a.]]", "[[=a=]]"}) {
    EXPECT_FALSE(RegexProgram::Compile(p).has_value()) << p;
  }
}

TEST(RegexProgram, RefusesInvalidPatterns) {
  for (const char* p : {"(", ")", "a)", "[a", "*a", "a{", "a{1", "a{,2}", "a{2,1}", "\\", "[b-a]",
                        "[\\d-z]", "[a-\\d]", "^*", "\\b+", "(?<a)", "\\x4", "\\u12", "{1}"}) {
    EXPECT_FALSE(RegexProgram::Compile(p).has_value()) << p;
    EXPECT_FALSE(StdMatch(p, "").has_value()) << p << " is valid for std::regex after all";
  }
}

TEST(RegexProgram, LongInputsRunWithoutRecursion) {
  const std::string big = "https://example.com/" + std::string(2 << 20, 'x');
  const auto prefix = RegexProgram::Compile("^https://example.com.*$");
  ASSERT_TRUE(prefix);
  EXPECT_TRUE(prefix->FullMatch(big));
  const auto wildcard = RegexProgram::Compile("^https://.*example\\.com/x+(y|x)$");
  ASSERT_TRUE(wildcard);
  EXPECT_TRUE(wildcard->FullMatch(big));
  EXPECT_FALSE(wildcard->FullMatch(big + "\n"));
  const auto other = RegexProgram::Compile("^https://other.org.*$");
  ASSERT_TRUE(other);
  EXPECT_FALSE(other->FullMatch(big));
}

TEST(RegexProgram, StepBudgetBoundsTheWorkAndFailsClosed) {
  const auto program = RegexProgram::Compile("^(?:a?){80}a*b.*$");
  ASSERT_TRUE(program);
  const std::string input = std::string(1000, 'a') + "b";
  uint64_t small = 10;
  EXPECT_FALSE(program->FullMatch(input, &small));
  EXPECT_EQ(small, 0u);
  uint64_t ample = 1'000'000;
  EXPECT_TRUE(program->FullMatch(input, &ample));
  EXPECT_GT(ample, 0u);
  EXPECT_LT(ample, 1'000'000u);  // what the match spent was taken off
}

TEST(RegexProgram, AnyTailStopsAtLineBreaks) {
  const auto p = RegexProgram::Compile("^ab.*$");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->FullMatch("ab"));
  EXPECT_TRUE(p->FullMatch("abxyz"));
  EXPECT_FALSE(p->FullMatch("abx\ny"));
  EXPECT_FALSE(p->FullMatch("ab\r"));
  EXPECT_FALSE(p->FullMatch("\nab"));
}

// Generated patterns: pieces of every kind, valid and invalid, nested a few levels deep.
class PatternGenerator {
 public:
  explicit PatternGenerator(uint32_t seed) : rng_(seed) {}

  std::string Pattern(int depth = 0) {
    std::string out;
    const int terms = Pick(5);
    for (int i = 0; i < terms; ++i) {
      out += Atom(depth);
      if (Pick(3) == 0) out += Quantifier();
      if (depth < 2 && Pick(8) == 0) out += "|";
    }
    return out;
  }

  std::string Input() {
    static const std::string kAlphabet = std::string("aAbBcC.-/:019_ x\n\r\xe9\x80\b") + '\0';
    std::string s;
    const int n = Pick(12);
    for (int i = 0; i < n; ++i) s += kAlphabet[Pick(static_cast<int>(kAlphabet.size()))];
    return s;
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

 private:
  std::string Atom(int depth) {
    static const std::vector<std::string> kAtoms = {
        "a",         "A",     "b",        "c",      ".",       "/",           ":",
        "-",         "0",     "9",        "_",      " ",       "\xe9",        "\x80",
        "x",         "\\d",   "\\w",      "\\s",    "\\D",     "\\W",         "\\S",
        "\\.",       "\\/",   "\\-",      "\\x41",  "\\u0062", "\\cA",        "\\0",
        "\\n",       "\\r",   "\\t",      "\\b",    "\\B",     "^",           "$",
        "[a-c]",     "[^a]",  "[A-Z0-9]", "[\\w.]", "[-a]",    "[a-]",        "[\\x80-\\xff]",
        "[a-\\xe9]", "[]",    "[^]",      "[.-z]",  "[\\d-a]", "[a-c-e]",     "[\\s\\S]",
        "[^\\W_]",   "[\\b]", "\\1",      "(?=a)",  "(?!b)",   "[[:alpha:]]", "(",
        ")",         "[",     "]",        "}",      "{",       "*",           "\\",
        "\\B",       "[Z-a]", "[a-Z]",    "\\e",    "\\k"};
    if (depth < 3 && Pick(4) == 0) {
      static const std::vector<std::string> kOpen = {"(", "(?:", "(", "(?:"};
      return kOpen[Pick(4)] + Pattern(depth + 1) + ")";
    }
    return kAtoms[Pick(static_cast<int>(kAtoms.size()))];
  }

  std::string Quantifier() {
    static const std::vector<std::string> kQuantifiers = {"*",    "+",   "?",    "*?",    "+?",
                                                          "??",   "{2}", "{1,}", "{0,2}", "{2,1}",
                                                          "{,1}", "{1",  "{2}?", "**",    "{0}"};
    return kQuantifiers[Pick(static_cast<int>(kQuantifiers.size()))];
  }

  std::mt19937 rng_;
};

TEST(RegexProgram, MatchesStdRegexOnGeneratedCorpus) {
  PatternGenerator gen(20240611);
  int valid = 0, supported = 0, compared = 0;
  for (int i = 0; i < 6000; ++i) {
    const std::string pattern = gen.Pattern();
    std::optional<std::regex> re;
    try {
      re.emplace(pattern, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error&) {
    }
    const auto program = RegexProgram::Compile(pattern);
    if (!re) {
      EXPECT_FALSE(program.has_value()) << "accepted an invalid pattern: " << pattern;
      continue;
    }
    ++valid;
    if (!program) continue;
    ++supported;
    for (int k = 0; k < 25; ++k) {
      const std::string input = gen.Input();
      ++compared;
      ASSERT_EQ(program->FullMatch(input), std::regex_match(input, *re))
          << "pattern: " << pattern << "\ninput: " << input;
    }
  }
  // The corpus must exercise the engine, not just the refusals.
  EXPECT_GT(valid, 1500);
  EXPECT_GT(supported * 10, valid * 8);
  EXPECT_GT(compared, 30000);
}

}  // namespace
}  // namespace trb
