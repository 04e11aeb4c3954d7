// The browser's command line: own switches, what goes to the toolkit and to the engine, and
// the refusal to start as root with the sandbox on.
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace trb {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, OwnSwitchesAreTakenAndTheRestForwarded) {
  CommandLine cl =
      ParseCommandLine({"trbrowser", "--no-sandbox", "--named-pipe=/tmp/x.sock", "--use-views",
                        "--url=http://a/", "-platform", "offscreen", "--renderer-process-limit=1",
                        "--events-pipe=ev", "--restrict-popups"});
  EXPECT_TRUE(cl.use_views);
  EXPECT_TRUE(cl.restrict_popups);
  EXPECT_EQ(cl.named_pipe, "/tmp/x.sock");
  EXPECT_EQ(cl.events_pipe, "ev");
  EXPECT_EQ(cl.url, "http://a/");
  EXPECT_EQ(cl.toolkit_args, (Args{"trbrowser", "-platform", "offscreen"}));
  EXPECT_EQ(cl.engine_args, (Args{"--no-sandbox", "--renderer-process-limit=1"}));
  EXPECT_EQ(ToolkitArgv(cl), (Args{"trbrowser", "-platform", "offscreen", "--webEngineArgs",
                                   "--no-sandbox", "--renderer-process-limit=1"}));
}

TEST(CommandLine, SwitchValuesAndLookalikes) {
  CommandLine cl = ParseCommandLine({"trbrowser", "--use-views=0", "--url", "--named-pipe=a=b",
                                     "--urlx=1", "--use-viewsy", "--events-pipe"});
  EXPECT_TRUE(cl.use_views);  // present with any value
  EXPECT_EQ(cl.url, "");
  EXPECT_EQ(cl.events_pipe, "trbrowser-events");  // never the command pipe's default
  EXPECT_EQ(cl.named_pipe, "a=b");
  EXPECT_EQ(cl.engine_args, (Args{"--urlx=1", "--use-viewsy"}));
}

TEST(CommandLine, ReloadAfterCrashTakesWholeSecondsUpToADay) {
  struct Case {
    const char* arg;
    std::optional<int> seconds;  // nothing: refused with a message
  };
  for (const Case& c :
       {Case{"--reload-after-crash=5", 5}, Case{"--reload-after-crash=0", 0},
        Case{"--reload-after-crash=86400", 86400}, Case{"--reload-after-crash=86401", std::nullopt},
        Case{"--reload-after-crash=-1", std::nullopt},
        Case{"--reload-after-crash=1.5", std::nullopt},
        Case{"--reload-after-crash=999999999999", std::nullopt},
        Case{"--reload-after-crash", std::nullopt}}) {
    CommandLine cl = ParseCommandLine({"trbrowser", c.arg});
    EXPECT_TRUE(cl.engine_args.empty()) << c.arg;
    if (c.seconds) {
      EXPECT_EQ(cl.reload_after_crash, std::chrono::seconds(*c.seconds)) << c.arg;
      EXPECT_EQ(cl.error, "") << c.arg;
    } else {
      EXPECT_FALSE(cl.reload_after_crash) << c.arg;
      EXPECT_NE(cl.error.find("--reload-after-crash=5"), std::string::npos) << c.arg;
    }
  }
  EXPECT_FALSE(ParseCommandLine({"trbrowser"}).reload_after_crash);
}

TEST(CommandLine, NoEngineSwitchesNoMarker) {
  CommandLine cl = ParseCommandLine({"trbrowser", "--webEngineArgs"});
  EXPECT_EQ(ToolkitArgv(cl), (Args{"trbrowser"}));
  EXPECT_TRUE(cl.named_pipe.empty());
  EXPECT_FALSE(cl.events_pipe);
  EXPECT_FALSE(cl.use_views);
  EXPECT_FALSE(cl.restrict_popups);
}

TEST(CommandLine, RootNeedsTheSandboxOff) {
  CommandLine plain = ParseCommandLine({"trbrowser"});
  CommandLine no_sandbox = ParseCommandLine({"trbrowser", "--no-sandbox"});
  EXPECT_TRUE(SandboxRefusesRoot(plain, 0, nullptr, nullptr));
  EXPECT_FALSE(SandboxRefusesRoot(plain, 1000, nullptr, nullptr));
  EXPECT_FALSE(SandboxRefusesRoot(no_sandbox, 0, nullptr, nullptr));
  EXPECT_FALSE(SandboxRefusesRoot(plain, 0, "1", nullptr));
  EXPECT_TRUE(SandboxRefusesRoot(plain, 0, "0", nullptr));
  EXPECT_TRUE(SandboxRefusesRoot(plain, 0, "", "--disable-gpu"));
  EXPECT_FALSE(SandboxRefusesRoot(plain, 0, nullptr, "--disable-gpu --no-sandbox"));
}

}  // namespace
}  // namespace trb
