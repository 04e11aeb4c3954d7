// Every command and reply over a real socket, against a recording fake browser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipe_session.h"
#include "policy/pages.h"

namespace trb::testing_support {
namespace {

using Strings = std::vector<std::string>;

struct CommandCase {
  const char* name;
  std::string input;  // one write
  int pieces;         // how many pieces the browser side sees
  std::string replies;
  Strings calls;
  std::string report = kDefaultReport;
};

class CommandTest : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, RunsAndAnswers) {
  const CommandCase& c = GetParam();
  PipeSession s;
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send(c.input));
  ASSERT_TRUE(s.handler.WaitResolveCount(c.pieces));
  s.pipe.Stop();

  bool closed = false;
  EXPECT_EQ(s.controller.ReadUntilClosed(&closed), c.replies + c.report);
  EXPECT_TRUE(closed);
  Strings calls = c.calls;
  calls.push_back("GetNormalRect");
  EXPECT_EQ(s.handler.Calls(), calls);
  // One resolution per piece, refused ones included, and one for the report.
  EXPECT_EQ(s.handler.resolve_count(), c.pieces + 1);
}

const std::string kLoadDefault = "LoadURL " + DefaultPageURL();

// What each command does to the browser and answers; how a piece is parsed and how reads are
// cut into pieces is the unit tests' business (command language, framing).
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Pipe, CommandTest,
    testing::Values(
        CommandCase{"Load", "LOAD http://a.test/", 1, "", {"LoadURL http://a.test/"}},
        CommandCase{"Reload", "RELOAD", 1, "", {"Reload"}},
        CommandCase{"ClearLoadsTheDefaultPage", "CLEAR", 1, "", {kLoadDefault}},
        CommandCase{"Show", "SHOW", 1, "", {"ShowWindowNormal"}},
        CommandCase{"ShowTopmost", "SHOWTOPMOST", 1, "", {"ShowWindowTopmost"}},
        CommandCase{"Hide", "HIDE", 1, "", {"HideWindow"}},
        CommandCase{"Minimize", "MINIMIZE", 1, "", {"MinimizeWindow"}},
        CommandCase{"NoResize", "NORESIZE", 1, "", {"ForbidResize"}},
        CommandCase{"GeometryChangesTheReport", "GEOMETRY 10 20 610 820", 1, "",
                    {"SetNormalRect 10 20 610 820"}, "GEOMETRY 10 20 610 820"},
        CommandCase{"ShowThenIsHidden", "SHOW;ISHIDDEN", 2, "ISHIDDEN 0",
                    {"ShowWindowNormal", "IsWindowHidden"}},
        CommandCase{"RepliesBackToBack", "ISHIDDEN;GETURL", 2, "ISHIDDEN 1GETURL about:fake",
                    {"IsWindowHidden", "GetURL"}},
        CommandCase{"RefusedPieceEchoed", " SHOW", 1, "ERROR Syntax Error:  SHOW", {}},
        CommandCase{"SettingsAnswerNothing",
                    "SET-ALLOWED-ORIGINS a|b;SET-HIDE-ON-CLOSE 0;SET-ALLOWED-ORIGINS", 3, "", {}},
        CommandCase{"EmptyPieceBetweenCommands", "SHOW;;HIDE", 3, "ERROR Syntax Error: ",
                    {"ShowWindowNormal", "HideWindow"}},
        CommandCase{"ZeroByteDropsRestOfRead", std::string("SHOW;HI\0DE;HIDE", 15), 2,
                    "ERROR Syntax Error: HI", {"ShowWindowNormal"}}),
    [](const testing::TestParamInfo<CommandCase>& info) { return info.param.name; });
// clang-format on

TEST(PipeSettings, HideOnCloseAndAllowedOrigins) {
  PipeSession s;
  ASSERT_TRUE(s.Connect());
  int pieces = 0;
  auto send = [&](const std::string& command) {
    ASSERT_TRUE(s.controller.Send(command + ";"));
    ASSERT_TRUE(s.handler.WaitResolveCount(++pieces));
    // The piece's effect is done once the next piece has been resolved, so send a no-op
    // refused piece and wait for its answer.
    ASSERT_TRUE(s.controller.Send(";"));
    ASSERT_EQ(s.controller.Read(20), "ERROR Syntax Error: ");
    ++pieces;
  };

  send("SET-HIDE-ON-CLOSE 1");
  EXPECT_TRUE(s.handler.hide_on_close_);
  send("SET-HIDE-ON-CLOSE");
  EXPECT_TRUE(s.handler.hide_on_close_);
  send("SET-HIDE-ON-CLOSE 0");
  EXPECT_FALSE(s.handler.hide_on_close_);

  send("SET-ALLOWED-ORIGINS https://a.test|https://b.test https://c.test");
  EXPECT_TRUE(s.handler.allowed_origins_.Matches("https://a.test/x"));
  EXPECT_TRUE(s.handler.allowed_origins_.Matches("https://b.test/"));
  EXPECT_FALSE(s.handler.allowed_origins_.Matches("https://c.test/"));
  send("SET-ALLOWED-ORIGINS https://c.test");
  EXPECT_FALSE(s.handler.allowed_origins_.Matches("https://a.test/x"));
  EXPECT_TRUE(s.handler.allowed_origins_.Matches("https://c.test/"));
  send("SET-ALLOWED-ORIGINS");
  EXPECT_TRUE(s.handler.allowed_origins_.IsEmpty());
  EXPECT_TRUE(s.handler.Calls().empty());
}

// QUIT closes the browser even where SET-HIDE-ON-CLOSE asked to hide it, and ends the session:
// nothing after it runs, and the report comes last.
TEST(PipeEnds, QuitClosesDespiteHideOnCloseAndReportsLast) {
  PipeSession s;
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("SET-HIDE-ON-CLOSE 1;QUIT now;SHOW;ISHIDDEN"));
  bool closed = false;
  EXPECT_EQ(s.controller.ReadUntilClosed(&closed), kDefaultReport);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(s.WaitEnded());
  EXPECT_EQ(s.handler.Calls(), (Strings{"CloseBrowser 1", "GetNormalRect"}));
  EXPECT_FALSE(s.handler.hide_on_close_);
}

// The controller hangs up right after writing: what it wrote still runs, then the browser
// closes, whatever SET-HIDE-ON-CLOSE said, and nobody is left to read a report.
TEST(PipeEnds, ControllerClosingRunsWhatItWroteThenForcesClose) {
  PipeSession s;
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("SET-HIDE-ON-CLOSE 1;HIDE;MINIMIZE"));
  s.controller.CloseConnection();
  EXPECT_TRUE(s.WaitEnded());
  EXPECT_EQ(s.handler.Calls(), (Strings{"HideWindow", "MinimizeWindow", "CloseBrowser 1"}));
  EXPECT_FALSE(s.handler.hide_on_close_);
}

TEST(PipeEnds, StopDuringMultiPieceReadAnswersEveryPieceThenReports) {
  PipeSession s;
  Gate gate;
  s.handler.before_call = [&](const std::string& name) {
    if (name == "GetURL") gate.EnterAndWait();
  };
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("GETURL;ISHIDDEN;SHOW;ISHIDDEN"));
  ASSERT_TRUE(gate.WaitEntered());
  s.stop.Set();
  gate.Release();
  s.pipe.Stop();
  bool closed = false;
  EXPECT_EQ(s.controller.ReadUntilClosed(&closed),
            std::string("GETURL about:fakeISHIDDEN 1ISHIDDEN 0") + kDefaultReport);
  EXPECT_TRUE(closed);
  EXPECT_EQ(s.handler.Calls(), (Strings{"GetURL", "IsWindowHidden", "ShowWindowNormal",
                                        "IsWindowHidden", "GetNormalRect"}));
}

TEST(PipeEnds, WithoutBrowserCommandsDoNothingAndQueriesStillAnswer) {
  PipeSession s;
  s.handler.has_browser = false;
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("SHOW;LOAD x;ISHIDDEN;GETURL;SET-HIDE-ON-CLOSE 1;QUIT"));
  bool closed = false;
  EXPECT_EQ(s.controller.ReadUntilClosed(&closed), "ISHIDDEN 1GETURL ");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(s.handler.Calls().empty());
  EXPECT_FALSE(s.handler.hide_on_close_);  // QUIT still clears it
}

TEST(PipeEnds, WithoutHandlerNothingIsTouched) {
  PipeSession s;
  g_main_handler.store(nullptr);
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("SHOW;ISHIDDEN;SET-ALLOWED-ORIGINS a;bad"));
  EXPECT_EQ(s.controller.Read(10 + 20 + 3), "ISHIDDEN 1ERROR Syntax Error: bad");
  s.pipe.Stop();
  bool closed = false;
  EXPECT_EQ(s.controller.ReadUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(s.handler.resolve_count(), 0);
  EXPECT_TRUE(s.handler.allowed_origins_.IsEmpty());
}

}  // namespace
}  // namespace trb::testing_support
