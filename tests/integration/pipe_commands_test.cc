// Commands and replies as the controller sees them, over the real pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "policy/pages.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

using Strings = std::vector<std::string>;

std::string Errors(const Strings& pieces) {
  std::string out;
  for (const std::string& piece : pieces) out += "ERROR Syntax Error: " + piece;
  return out;
}

struct Case {
  const char* name;
  std::string input;  // one write
  std::string replies;
  Strings calls;  // then GetNormalRect for the report, if any
  std::string report = kDefaultReport;
  bool hide_on_close = false;
  const char* allowed = "";  // which of https://{a,b,c}.test/ the allow-list then covers
  bool browser = true, handler = true;
  bool hang_up = false;  // the controller closes right after writing
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
#ifdef _WIN32
constexpr size_t kUnreadTail = 16;  // a Windows pipe refuses a write past its buffer
#else
constexpr size_t kUnreadTail = 100000;  // left unread after QUIT: a Unix socket would reset
#endif
class Command : public testing::TestWithParam<Case> {};

TEST_P(Command, RunsAndAnswers) {
  const Case& c = GetParam();
  PipeSession s;
  s.handler.has_browser = c.browser;
  if (!c.handler) g_main_handler.store(nullptr);
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send(c.input));
  if (c.hang_up) s.controller.CloseConnection();
  EXPECT_EQ(s.controller.Read(c.replies.size()), c.replies);
  // Every piece taken up: the stop, looked at between reads, then ends the session.
  const std::string read = c.input.substr(0, c.input.find('\0'));
  const int pieces =
      static_cast<int>(std::count(read.begin(), read.end(), ';')) + (read.back() == ';' ? 0 : 1);
  ASSERT_TRUE(WaitUntil([&] {
    return s.pipe.ended() || (!c.hang_up && (!c.handler || s.handler.resolve_count() >= pieces));
  }));
  EXPECT_EQ(c.hang_up ? "" : s.StopAndRead(), c.report);
  Strings calls = c.calls;
  if (!c.report.empty()) calls.push_back("GetNormalRect");
  EXPECT_EQ(s.handler.Calls(), calls);
  EXPECT_EQ(s.handler.hide_on_close_, c.hide_on_close);
  for (const char host : std::string("abc")) {
    EXPECT_EQ(s.handler.allowed_origins_.Matches("https://" + std::string(1, host) + ".test/"),
              std::strchr(c.allowed, host) != nullptr)
        << host;
  }
}

const std::string kLoadDefault = "LoadURL " + DefaultPageURL();
const std::string kMax = "2147483647", kMin = "-2147483648";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Pipe, Command, testing::Values(
    Case{"Load", "LOAD http://a.test/;GETURL", "GETURL http://a.test/", {"LoadURL http://a.test/", "GetURL"}},
    Case{"LoadTakesTheFirstWord", "LOAD  http://a.test/ http://b.test/;LOAD\thttp://\xc3\xa9.test/\r\n", "",
         {"LoadURL http://a.test/", "LoadURL http://\xc3\xa9.test/"}},
    Case{"ReloadAndClear", "RELOAD now;CLEAR;ISHIDDEN", "ISHIDDEN 1", {"Reload", kLoadDefault, "IsWindowHidden"}},
    Case{"ShowThenIsHidden", "SHOW\n;ISHIDDEN", "ISHIDDEN 0", {"ShowWindowNormal", "IsWindowHidden"}},
    Case{"TopmostHideMinimize", "SHOWTOPMOST;HIDE x y;ISHIDDEN;MINIMIZE;ISHIDDEN;NORESIZE;GETURL",
         "ISHIDDEN 1ISHIDDEN 0GETURL about:fake", {"ShowWindowTopmost", "HideWindow", "IsWindowHidden",
         "MinimizeWindow", "IsWindowHidden", "ForbidResize", "GetURL"}},
    Case{"GeometryChangesTheReport", "GEOMETRY 10 20 610 820;ISHIDDEN", "ISHIDDEN 1",
         {"SetNormalRect 10 20 610 820", "IsWindowHidden"}, "GEOMETRY 10 20 610 820"},
    Case{"GeometryReadsNumbersLikeAtoiClamped", "GEOMETRY 12px -5 +7 0009;GEOMETRY x 1e3 \t3.9 -;"
         "GEOMETRY 99999999999 -99999999999 2147483648 -2147483649", "", {"SetNormalRect 12 -5 7 9",
         "SetNormalRect 0 1 3 0", "SetNormalRect " + kMax + " " + kMin + " " + kMax + " " + kMin},
         "GEOMETRY " + kMax + " " + kMin + " " + kMax + " " + kMin},
    Case{"Refused", "load x; SHOW;Show;SHOWHIDE;LOAD;LOAD ;GEOMETRY 1 2 3;GEOMETRY 1 2 3 4 5;ISHIDDEN1;"
         "SET-ALLOWED-ORIGIN a;GETURL\xc2\xa0;\nSHOW", Errors({"load x", " SHOW", "Show", "SHOWHIDE", "LOAD",
         "LOAD ", "GEOMETRY 1 2 3", "GEOMETRY 1 2 3 4 5", "ISHIDDEN1", "SET-ALLOWED-ORIGIN a", "GETURL\xc2\xa0",
         "\nSHOW"}), {}},
    Case{"EmptyPieces", ";SHOW;;HIDE;", Errors({"", ""}), {"ShowWindowNormal", "HideWindow"}},
    Case{"ZeroByteDropsRestOfRead", std::string("SHOW;HI\0DE;HIDE", 15), Errors({"HI"}), {"ShowWindowNormal"}},
    Case{"HideOnCloseKeptWithoutValue", "SET-HIDE-ON-CLOSE 1 0;SET-HIDE-ON-CLOSE", "", {}, kDefaultReport, true},
    Case{"HideOnCloseOnlyFor1", "SET-HIDE-ON-CLOSE 1;SET-HIDE-ON-CLOSE true", "", {}, kDefaultReport, false},
    Case{"AllowedOrigins", "SET-ALLOWED-ORIGINS https://a.test|https://b.test https://c.test", "", {},
         kDefaultReport, false, "ab"},
    Case{"AllowedOriginsReplaced", "SET-ALLOWED-ORIGINS https://a.test;SET-ALLOWED-ORIGINS https://c.test",
         "", {}, kDefaultReport, false, "c"},
    Case{"AllowedOriginsCleared", "SET-ALLOWED-ORIGINS https://a.test;SET-ALLOWED-ORIGINS", "", {}},
    Case{"QuitClosesDespiteHideOnCloseAndEndsWithoutAReset", "SET-HIDE-ON-CLOSE 1;QUIT now;SHOW;" + std::string(kUnreadTail, 'x'), "",
         {"CloseBrowser 1"}},
    Case{"WithoutBrowserQueriesStillAnswer", "SHOW;LOAD x;ISHIDDEN;GETURL;SET-HIDE-ON-CLOSE 1;QUIT",
         "ISHIDDEN 1GETURL ", {}, "", false, "", false},
    Case{"WithoutHandlerNothingIsTouched", "SHOW;SET-ALLOWED-ORIGINS https://a.test;ISHIDDEN;bad",
         "ISHIDDEN 1" + Errors({"bad"}), {}, "", false, "", true, false},
    Case{"ControllerHangingUpForcesTheClose", "SET-HIDE-ON-CLOSE 1;HIDE;MINIMIZE", "",
         {"HideWindow", "MinimizeWindow", "CloseBrowser 1"}, "", false, "", true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Cut reads, in every arrangement: tests/fuzz/pipe_fuzzer.cc. Here a real socket's short reads.
TEST(PipeFraming, LongCommandStreamedInChunksStaysWhole) {
  PipeSession s;
  ASSERT_TRUE(s.Connect());
  const std::string url = "http://x.test/" + std::string(200000, 'q');
  const std::string command = "LOAD " + url + ";ISHIDDEN;";
  for (size_t at = 0; at < command.size(); at += 8192) {
    ASSERT_TRUE(s.controller.Send(command.substr(at, 8192)));
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(s.controller.Read(10), "ISHIDDEN 1");
  EXPECT_EQ(s.StopAndRead(), kDefaultReport);
  EXPECT_EQ(s.handler.Calls(), (Strings{"LoadURL " + url, "IsWindowHidden", "GetNormalRect"}));
}

TEST(PipeFraming, ControllerThatStopsReadingCannotHoldUpTheStop) {
  PipeSession s;
  s.handler.url = "http://a.test/" + std::string(64 * 1024, 'p');
  ConnectOptions options;
  options.stopped_write_grace = 100ms;
  ASSERT_TRUE(s.Connect(options));
  std::string commands;
  for (int i = 0; i < 200; ++i) commands += "GETURL;";
  ASSERT_TRUE(s.controller.Send(commands));  // ~13 MB of replies that nobody reads
  ASSERT_TRUE(WaitUntil([&] { return s.handler.resolve_count() >= 2; }));
  s.pipe.Stop();  // returns: the blocked reply is given up once the grace has passed
  EXPECT_TRUE(s.pipe.ended());
}

}  // namespace
}  // namespace trb::testing_support
