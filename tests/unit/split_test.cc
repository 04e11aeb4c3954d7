// The piece rules of SplitByRegex and the fixed splitters that must give the same pieces.
#include "policy/split.h"
#include "support/case_name.h"
#include "support/oracles.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace trb {
namespace {

using Pieces = std::vector<std::string>;

struct SplitCase {
  std::string text;
  std::string pattern;
  Pieces pieces;
};

class SplitCases : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCases, FollowsThePieceRules) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(test::SplitByRegex(c.text, c.pattern), c.pieces) << c.text;
  if (c.pattern == ";") {
    EXPECT_EQ(SplitAtSemicolons(c.text), c.pieces);
  }
  if (c.pattern == "\\s+") {
    EXPECT_EQ(SplitAtWhitespace(c.text), c.pieces);
  }
  if (c.pattern == "\\|") {
    EXPECT_EQ(SplitAtBars(c.text), c.pieces);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitCases,
    ::testing::Values(SplitCase{"a;b", ";", {"a", "b"}}, SplitCase{"a;", ";", {"a"}},
                      SplitCase{";a", ";", {"", "a"}}, SplitCase{"a;;b", ";", {"a", "", "b"}},
                      SplitCase{";", ";", {""}}, SplitCase{";;", ";", {"", ""}},
                      SplitCase{"", ";", {""}}, SplitCase{"abc", ";", {"abc"}},
                      SplitCase{"LOAD x;SHOW;", ";", {"LOAD x", "SHOW"}},
                      SplitCase{"a b", "\\s+", {"a", "b"}},
                      SplitCase{"  a  b  ", "\\s+", {"", "a", "b"}},
                      SplitCase{"a\t\n\v\f\r b", "\\s+", {"a", "b"}}, SplitCase{" ", "\\s+", {""}},
                      SplitCase{"", "\\s+", {""}}, SplitCase{"a\xa0z", "\\s+", {"a\xa0z"}},
                      SplitCase{"a|b", "\\|", {"a", "b"}}, SplitCase{"a||b", "\\|", {"a", "", "b"}},
                      SplitCase{"|a", "\\|", {"", "a"}}, SplitCase{"a|", "\\|", {"a"}},
                      SplitCase{"|", "\\|", {""}}, SplitCase{"", "\\|", {""}}),
    [](const auto& info) {
      return test::CaseName(info.param.text + " by " + info.param.pattern, info.index);
    });

// The fixed splitters against the regular-expression one on random texts.
TEST(Split, FixedSplittersEqualSplitByRegex) {
  const std::string alphabet = std::string("ab;| \t\n\v\f\r\xa0\x85x") + '\0';
  std::mt19937 rng(99);
  for (int i = 0; i < 5000; ++i) {
    std::string text;
    const int n = static_cast<int>(rng() % 16);
    for (int k = 0; k < n; ++k) text += alphabet[rng() % alphabet.size()];
    ASSERT_EQ(SplitAtSemicolons(text), test::SplitByRegex(text, ";")) << text;
    ASSERT_EQ(SplitAtWhitespace(text), test::SplitByRegex(text, "\\s+")) << text;
    ASSERT_EQ(SplitAtBars(text), test::SplitByRegex(text, "\\|")) << text;
  }
}

}  // namespace
}  // namespace trb
