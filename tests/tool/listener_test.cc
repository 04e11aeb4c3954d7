#include "listener.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "test_controller.h"

namespace trbctl {
namespace {

using trb::testing_support::TempDir;

class ListenerTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.path() + "/sock";
};

TEST_F(ListenerTest, CreatesAnOwnerOnlySocket) {
  EXPECT_EQ(ProbeSocketPath(path_), PathState::kFree);
  std::string error;
  int fd = ListenAt(path_, error);
  ASSERT_GE(fd, 0) << error;
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(ProbeSocketPath(path_), PathState::kLive);
  close(fd);
}

TEST_F(ListenerTest, RefusesALiveSocket) {
  std::string error;
  int first = ListenAt(path_, error);
  ASSERT_GE(first, 0) << error;
  EXPECT_EQ(ListenAt(path_, error), -1);
  EXPECT_NE(error.find("another controller"), std::string::npos) << error;
  close(first);
}

TEST_F(ListenerTest, ReplacesAStaleSocket) {
  std::string error;
  int first = ListenAt(path_, error);
  ASSERT_GE(first, 0) << error;
  close(first);  // the file stays, nobody listens: a crashed controller's leftover
  EXPECT_EQ(ProbeSocketPath(path_), PathState::kStale);
  int second = ListenAt(path_, error);
  ASSERT_GE(second, 0) << error;
  EXPECT_EQ(ProbeSocketPath(path_), PathState::kLive);
  close(second);
}

TEST_F(ListenerTest, NeverRemovesAFileThatIsNoSocket) {
  std::ofstream(path_) << "keep me";
  EXPECT_EQ(ProbeSocketPath(path_), PathState::kNotSocket);
  std::string error;
  EXPECT_EQ(ListenAt(path_, error), -1);
  EXPECT_FALSE(error.empty());
  std::ifstream in(path_);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
}

TEST_F(ListenerTest, TooLongPathIsAnError) {
  std::string error;
  EXPECT_EQ(ListenAt("/tmp/" + std::string(200, 'x'), error), -1);
  EXPECT_NE(error.find("too long"), std::string::npos) << error;
}

// The socket file already keeps other users out; should its mode ever let one in, the
// peer's credentials still do.
TEST_F(ListenerTest, OnlyOwnUserOrRootCountsAsThePeer) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user (uid 65534)";
  std::string error;
  const int listener = ListenAt(path_, error);
  ASSERT_GE(listener, 0) << error;
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0777), 0);
  for (const uid_t uid : {uid_t{0}, uid_t{65534}}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(10);
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
      if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(11);
      char byte;
      _exit(read(fd, &byte, 1) == 0 ? 0 : 12);  // until the test hangs up
    }
    const int conn = accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(PeerIsOwnUser(conn), uid == 0) << "uid " << uid;
    close(conn);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "uid " << uid;
  }
  close(listener);
}

// The browser's own candidates are the pipe unit tests' (SocketPathTest); the tool hands the
// browser an absolute path even where TMPDIR is relative.
TEST(SocketPathFor, MakesARelativeTmpdirAbsolute) {
  const std::optional<std::string> saved =
      getenv("TMPDIR") ? std::optional<std::string>(getenv("TMPDIR")) : std::nullopt;
  setenv("TMPDIR", "rel", 1);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(SocketPathFor("abc"), std::string(cwd) + "/rel/abc");
  EXPECT_EQ(SocketPathFor("/run/user/x.sock"), "/run/user/x.sock");
  saved ? setenv("TMPDIR", saved->c_str(), 1) : unsetenv("TMPDIR");
}

}  // namespace
}  // namespace trbctl
