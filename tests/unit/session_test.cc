// The desktop session the browser starts in: which window system it asks the toolkit for, and
// the private runtime directory it makes where the session has none.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/runtime_dir.h"
#include "app/session_platform.h"

namespace trb {
namespace {

namespace fs = std::filesystem;

struct PlatformCase {
  const char* name;
  std::vector<std::string> argv;
  SessionEnv env;
  std::string platform;  // what the browser asks for; empty: the toolkit's own choice
};

void PrintTo(const PlatformCase& c, std::ostream* os) { *os << c.name; }

class PlatformChoice : public testing::TestWithParam<PlatformCase> {};

TEST_P(PlatformChoice, Chooses) {
  const PlatformCase& c = GetParam();
  CommandLine cl = ParseCommandLine(c.argv);
  std::string platform = ChoosePlatform(cl, c.env);
  EXPECT_EQ(platform, c.platform);

  // The choice reaches the toolkit as its own argument, ahead of the user's toolkit arguments.
  std::vector<std::string> before = cl.toolkit_args;
  ApplyPlatform(cl, platform);
  std::vector<std::string> expected = before;
  if (!c.platform.empty()) expected.insert(expected.begin() + 1, {"-platform", c.platform});
  EXPECT_EQ(cl.toolkit_args, expected);
}

const std::vector<std::string> kPlain = {"trbrowser", "--no-sandbox"};

INSTANTIATE_TEST_SUITE_P(
    Session, PlatformChoice,
    testing::Values(
        PlatformCase{
            "WaylandWithXWaylandRunsOnXWayland", kPlain, {nullptr, ":1", "wayland-0"}, "xcb"},
        PlatformCase{
            "WaylandAloneRunsOnWayland", kPlain, {nullptr, nullptr, "wayland-0"}, "wayland"},
        PlatformCase{"EmptyDisplayCountsAsUnset", kPlain, {"", "", "wayland-0"}, "wayland"},
        PlatformCase{"X11SessionRunsOnX", kPlain, {nullptr, ":0", nullptr}, "xcb"},
        PlatformCase{"UsersQtQpaPlatformWins", kPlain, {"wayland", ":1", "wayland-0"}, ""},
        PlatformCase{"UsersOffscreenWins", kPlain, {"offscreen", nullptr, nullptr}, ""},
        PlatformCase{"UsersPlatformArgumentWins",
                     {"trbrowser", "-platform", "wayland", "--no-sandbox"},
                     {nullptr, ":1", "wayland-0"},
                     ""},
        PlatformCase{"NoDisplayLeavesItToTheStartCheck", kPlain, {nullptr, nullptr, nullptr}, ""}),
    [](const testing::TestParamInfo<PlatformCase>& info) { return std::string(info.param.name); });

// What stands under the runtime directory's name before the browser starts.
enum class Planted { kNothing, kOwnPrivateDir, kOpenDir, kSymlinkToOwnDir, kFile, kOtherUsersDir };

struct RuntimeCase {
  const char* name;
  Planted planted;
  bool reused;  // the fixed name is used; otherwise a fresh directory beside it
};

void PrintTo(const RuntimeCase& c, std::ostream* os) { *os << c.name; }

class RuntimeDir : public testing::TestWithParam<RuntimeCase> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trb-runtime-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
  }
  void TearDown() override { fs::remove_all(base_); }
  std::string base_;
};

TEST_P(RuntimeDir, IsPrivateAndOurOwn) {
  const RuntimeCase& c = GetParam();
  unsigned uid = geteuid();
  std::string fixed = base_ + "/trbrowser-runtime-" + std::to_string(uid);
  std::string elsewhere = base_ + "/elsewhere";
  switch (c.planted) {
    case Planted::kNothing:
      break;
    case Planted::kOwnPrivateDir:
      ASSERT_EQ(mkdir(fixed.c_str(), 0700), 0);
      break;
    case Planted::kOpenDir:
      ASSERT_EQ(mkdir(fixed.c_str(), 0700), 0);
      ASSERT_EQ(chmod(fixed.c_str(), 0777), 0);
      break;
    case Planted::kSymlinkToOwnDir:
      ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
      ASSERT_EQ(symlink(elsewhere.c_str(), fixed.c_str()), 0);
      break;
    case Planted::kFile:
      ASSERT_EQ(close(creat(fixed.c_str(), 0600)), 0);
      break;
    case Planted::kOtherUsersDir:
      if (uid != 0) {
        GTEST_SKIP() << "needs root to plant another user's directory";
      }
      ASSERT_EQ(mkdir(fixed.c_str(), 0700), 0);
      ASSERT_EQ(chown(fixed.c_str(), 65534, 65534), 0);
      break;
  }

  std::string error;
  std::string dir = PrivateRuntimeDir(base_, uid, &error);
  ASSERT_FALSE(dir.empty()) << error;
  EXPECT_EQ(dir == fixed, c.reused) << dir;
  struct stat st = {};
  ASSERT_EQ(lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, uid);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(fs::path(dir).parent_path(), fs::path(base_));
  // What was planted is left as it was.
  if (c.planted == Planted::kSymlinkToOwnDir) {
    EXPECT_TRUE(fs::is_symlink(fixed));
  }
  if (c.planted == Planted::kOpenDir) {
    EXPECT_EQ(fs::status(fixed).permissions(), fs::perms::all);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Session, RuntimeDir,
    testing::Values(RuntimeCase{"MadeWhenMissing", Planted::kNothing, true},
                    RuntimeCase{"OwnPrivateDirReused", Planted::kOwnPrivateDir, true},
                    RuntimeCase{"DirOpenToOthersRefused", Planted::kOpenDir, false},
                    RuntimeCase{"SymlinkNotFollowed", Planted::kSymlinkToOwnDir, false},
                    RuntimeCase{"FileInTheWay", Planted::kFile, false},
                    RuntimeCase{"OtherUsersDirRefused", Planted::kOtherUsersDir, false}),
    [](const testing::TestParamInfo<RuntimeCase>& info) { return std::string(info.param.name); });

TEST(RuntimeDirErrors, UnusableBaseIsReported) {
  std::string error;
  EXPECT_EQ(PrivateRuntimeDir("/nonexistent-trb-base", geteuid(), &error), "");
  EXPECT_NE(error.find("/nonexistent-trb-base"), std::string::npos) << error;
}

}  // namespace
}  // namespace trb
