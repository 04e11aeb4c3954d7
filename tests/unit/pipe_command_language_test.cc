#include "pipe/command_language.h"
#include "support/case_name.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace trb {
namespace {

using Strings = std::vector<std::string>;
using namespace command;

struct Accepted {
  const char* name;
  std::string piece;
  Command expected;
};

class AcceptedTest : public testing::TestWithParam<Accepted> {};

TEST_P(AcceptedTest, ParsesTo) {
  const std::optional<Command> parsed = ParseCommand(GetParam().piece);
  ASSERT_TRUE(parsed.has_value()) << GetParam().piece;
  EXPECT_EQ(parsed->index(), GetParam().expected.index());
  EXPECT_TRUE(*parsed == GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Language, AcceptedTest,
    testing::Values(
        Accepted{"Load", "LOAD http://a.test/", Load{"http://a.test/"}},
        Accepted{"LoadTwoSpaces", "LOAD  http://a.test/", Load{"http://a.test/"}},
        Accepted{"LoadTab", "LOAD\thttp://a.test/", Load{"http://a.test/"}},
        Accepted{"LoadExtraToken", "LOAD http://a.test/ http://b.test/", Load{"http://a.test/"}},
        Accepted{"LoadTrailingNewline", "LOAD u\r\n", Load{"u"}},
        Accepted{"LoadUtf8", "LOAD http://\xc3\xa9.test/", Load{"http://\xc3\xa9.test/"}},
        Accepted{"Reload", "RELOAD", Reload{}}, Accepted{"ReloadExtra", "RELOAD now", Reload{}},
        Accepted{"Clear", "CLEAR", Clear{}}, Accepted{"Show", "SHOW", Show{}},
        Accepted{"ShowTrailingNewline", "SHOW\n", Show{}},
        Accepted{"ShowTopmost", "SHOWTOPMOST", ShowTopmost{}}, Accepted{"Hide", "HIDE x y", Hide{}},
        Accepted{"Minimize", "MINIMIZE", Minimize{}}, Accepted{"Quit", "QUIT", Quit{}},
        Accepted{"QuitExtra", "QUIT 1", Quit{}},
        Accepted{"Geometry", "GEOMETRY 10 20 610 820", Geometry{{10, 20, 610, 820}}},
        Accepted{"GeometryNotANumber", "GEOMETRY 10 x 610 820", Geometry{{10, 0, 610, 820}}},
        Accepted{"GeometrySuffix", "GEOMETRY 12px -5 +7 0009", Geometry{{12, -5, 7, 9}}},
        Accepted{"GeometryClamped", "GEOMETRY 99999999999 -99999999999 2147483648 -2147483648",
                 Geometry{{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}}},
        Accepted{"GeometryReportRoundTrip", "GEOMETRY 100 200 700 1000",
                 Geometry{{100, 200, 700, 1000}}},
        Accepted{"NoResize", "NORESIZE", NoResize{}}, Accepted{"IsHidden", "ISHIDDEN", IsHidden{}},
        Accepted{"GetUrl", "GETURL", GetUrl{}},
        Accepted{"AllowedOriginsNone", "SET-ALLOWED-ORIGINS", SetAllowedOrigins{}},
        Accepted{"AllowedOriginsTwo", "SET-ALLOWED-ORIGINS a|b c",
                 SetAllowedOrigins{Strings{"a", "b"}}},
        Accepted{"AllowedOriginsEmptyMiddle", "SET-ALLOWED-ORIGINS a||b",
                 SetAllowedOrigins{Strings{"a", "", "b"}}},
        Accepted{"AllowedOriginsTrailingBar", "SET-ALLOWED-ORIGINS a|",
                 SetAllowedOrigins{Strings{"a"}}},
        Accepted{"AllowedOriginsLeadingBar", "SET-ALLOWED-ORIGINS |a",
                 SetAllowedOrigins{Strings{"", "a"}}},
        Accepted{"HideOnCloseNone", "SET-HIDE-ON-CLOSE", SetHideOnClose{}},
        Accepted{"HideOnCloseOne", "SET-HIDE-ON-CLOSE 1", SetHideOnClose{true}},
        Accepted{"HideOnCloseOneExtra", "SET-HIDE-ON-CLOSE 1 0", SetHideOnClose{true}},
        Accepted{"HideOnCloseZero", "SET-HIDE-ON-CLOSE 0", SetHideOnClose{false}},
        Accepted{"HideOnCloseTrue", "SET-HIDE-ON-CLOSE true", SetHideOnClose{false}},
        Accepted{"HideOnCloseEleven", "SET-HIDE-ON-CLOSE 11", SetHideOnClose{false}},
        Accepted{"HideOnCloseZeroOne", "SET-HIDE-ON-CLOSE 01", SetHideOnClose{false}}),
    [](const testing::TestParamInfo<Accepted>& info) { return info.param.name; });

class RefusedTest : public testing::TestWithParam<std::string> {};

TEST_P(RefusedTest, IsRefused) { EXPECT_FALSE(ParseCommand(GetParam()).has_value()); }

INSTANTIATE_TEST_SUITE_P(Language, RefusedTest,
                         testing::Values("", " ", "\n", "\t\r\n", "LOAD", "LOAD ", "LOAD\n",
                                         "load http://a.test/", "Show", "show", " SHOW", "\nSHOW",
                                         "SHOWHIDE", "SHOW;", "GEOMETRY 1 2 3",
                                         "GEOMETRY 1 2 3 4 5", "GEOMETRY", "ISHIDDEN1",
                                         "SET-ALLOWED-ORIGIN a", "GETURL\xc2\xa0",
                                         std::string("SHOW\0", 5)),
                         [](const auto& info) { return test::CaseName(info.param, info.index); });

struct Number {
  std::string text;
  int32_t value;
};

class ParseInt32Test : public testing::TestWithParam<Number> {};

TEST_P(ParseInt32Test, ReadsLikeAtoiClamped) {
  EXPECT_EQ(ParseInt32(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Language, ParseInt32Test,
    testing::Values(Number{"0", 0}, Number{"42", 42}, Number{"-42", -42}, Number{"+42", 42},
                    Number{"12px", 12}, Number{"abc", 0}, Number{"", 0}, Number{"-", 0},
                    Number{"+-1", 0}, Number{"--1", 0}, Number{" \t7", 7}, Number{"00012", 12},
                    Number{"1e3", 1}, Number{"3.9", 3}, Number{"2147483647", INT32_MAX},
                    Number{"2147483648", INT32_MAX}, Number{"-2147483648", INT32_MIN},
                    Number{"-2147483649", INT32_MIN},
                    Number{"99999999999999999999999999999", INT32_MAX},
                    Number{"-99999999999999999999999999999", INT32_MIN}),
    [](const auto& info) { return test::CaseName(info.param.text, info.index); });

// The replies' texts are held byte for byte by the pipe tests; here what they cannot reach:
// the report of any rectangle reads back, as a command, as that rectangle.
TEST(Replies, GeometryReportIsACommandSettingTheSameRect) {
  for (const auto& [rect, text] :
       {std::pair{NormalRect{100, 200, 700, 1000}, "GEOMETRY 100 200 700 1000"},
        std::pair{NormalRect{-30, -40, 0, 5}, "GEOMETRY -30 -40 0 5"},
        std::pair{NormalRect{INT32_MIN, INT32_MAX, 0, -1},
                  "GEOMETRY -2147483648 2147483647 0 -1"}}) {
    EXPECT_EQ(GeometryReply(rect), text);
    const std::optional<Command> parsed = ParseCommand(GeometryReply(rect));
    ASSERT_TRUE(parsed.has_value());
    ASSERT_TRUE(std::holds_alternative<Geometry>(*parsed));
    EXPECT_EQ(std::get<Geometry>(*parsed).rect, rect);
  }
}

}  // namespace
}  // namespace trb
