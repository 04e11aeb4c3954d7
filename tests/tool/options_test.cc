#include "options.h"

#include <gtest/gtest.h>

namespace trbctl {
namespace {

Options Parse(const std::vector<std::string>& args) {
  auto parsed = ParseOptions(args);
  EXPECT_TRUE(std::holds_alternative<Options>(parsed))
      << (std::holds_alternative<std::string>(parsed) ? std::get<std::string>(parsed) : "");
  return std::holds_alternative<Options>(parsed) ? std::get<Options>(parsed) : Options{};
}

std::string ParseError(const std::vector<std::string>& args) {
  auto parsed = ParseOptions(args);
  EXPECT_TRUE(std::holds_alternative<std::string>(parsed));
  return std::holds_alternative<std::string>(parsed) ? std::get<std::string>(parsed) : "";
}

TEST(ToolOptions, DefaultsReadStdinAndLaunch) {
  Options o = Parse({});
  EXPECT_EQ(o.pipe, "");
  EXPECT_EQ(o.browser, "");
  EXPECT_FALSE(o.no_launch);
  EXPECT_FALSE(o.has_commands);
  EXPECT_DOUBLE_EQ(o.timeout_seconds, 30);
  EXPECT_TRUE(o.steps.empty());
  EXPECT_TRUE(o.browser_switches.empty());
}

TEST(ToolOptions, StepsKeepCommandLineOrder) {
  Options o = Parse({"-c", "LOAD http://127.0.0.1/", "--wait-url", "http://127.0.0.1/", "-c",
                     "GETURL", "--wait-url=http://x/"});
  ASSERT_EQ(o.steps.size(), 4u);
  EXPECT_EQ(std::get<CommandStep>(o.steps[0]).text, "LOAD http://127.0.0.1/");
  EXPECT_EQ(std::get<WaitUrlStep>(o.steps[1]).prefix, "http://127.0.0.1/");
  EXPECT_EQ(std::get<CommandStep>(o.steps[2]).text, "GETURL");
  EXPECT_EQ(std::get<WaitUrlStep>(o.steps[3]).prefix, "http://x/");
  EXPECT_TRUE(o.has_commands);
}

TEST(ToolOptions, EventsOnStderrOrInAFileAndWaitLoad) {
  Options quiet = Parse({"-c", "SHOW"});
  EXPECT_FALSE(quiet.wants_events());
  Options o = Parse({"--events", "--wait-load", "http://a/", "--wait-load=http://b/"});
  EXPECT_TRUE(o.print_events);
  EXPECT_EQ(o.events_file, "");
  ASSERT_EQ(o.steps.size(), 2u);
  EXPECT_EQ(std::get<WaitLoadStep>(o.steps[1]).prefix, "http://b/");
  EXPECT_TRUE(o.wants_events());
  Options file = Parse({"--events=/tmp/e.jsonl"});
  EXPECT_EQ(file.events_file, "/tmp/e.jsonl");
  Options waiting = Parse({"--wait-load", "http://a/"});
  EXPECT_FALSE(waiting.print_events);
  EXPECT_TRUE(waiting.wants_events());
}

TEST(ToolOptions, WaitUrlAloneStillReadsStdin) {
  Options o = Parse({"--wait-url", "http://"});
  EXPECT_FALSE(o.has_commands);
  EXPECT_EQ(o.steps.size(), 1u);
}

TEST(ToolOptions, ValuesInBothForms) {
  Options o = Parse({"--pipe=abc", "--browser", "/opt/b", "--timeout", "2.5", "--no-launch"});
  EXPECT_EQ(o.pipe, "abc");
  EXPECT_EQ(o.browser, "/opt/b");
  EXPECT_DOUBLE_EQ(o.timeout_seconds, 2.5);
  EXPECT_TRUE(o.no_launch);
}

TEST(ToolOptions, BrowserSwitchesAfterDoubleDashOrFirstUnknown) {
  Options a = Parse({"--pipe", "p", "--", "--no-sandbox", "-c", "x"});
  EXPECT_EQ(a.browser_switches, (std::vector<std::string>{"--no-sandbox", "-c", "x"}));
  EXPECT_FALSE(a.has_commands);
  Options b = Parse({"-c", "SHOW", "--no-sandbox", "--url=http://127.0.0.1/"});
  EXPECT_EQ(b.browser_switches,
            (std::vector<std::string>{"--no-sandbox", "--url=http://127.0.0.1/"}));
}

TEST(ToolOptions, EmptyCommandIsKept) {
  // The browser answers an empty piece with a syntax error; the tool does not hide that.
  Options o = Parse({"-c", ""});
  ASSERT_EQ(o.steps.size(), 1u);
  EXPECT_EQ(std::get<CommandStep>(o.steps[0]).text, "");
}

TEST(ToolOptions, Help) {
  EXPECT_TRUE(Parse({"--help"}).help);
  EXPECT_TRUE(Parse({"-h"}).help);
}

TEST(ToolOptions, Errors) {
  const std::vector<std::vector<std::string>> cases = {
      {"--pipe"},
      {"--pipe="},
      {"--browser"},
      {"--timeout"},
      {"--timeout", "0"},
      {"--timeout", "-1"},
      {"--timeout", "x"},
      {"--timeout", "3s"},
      {"--timeout", "nan"},
      {"--timeout", "inf"},
      {"-c"},
      {"--wait-url"},
      {"--wait-load"},
      {"--events="},
      {"-x"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_FALSE(ParseError(args).empty());
  }
}

}  // namespace
}  // namespace trbctl
