// Finding, connecting to and hanging up on the controller: no listener, busy listeners, the
// socket path rules, controllers of another user, interrupted system calls and a clean end
// of stream.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "pipe_session.h"

namespace trb::testing_support {
namespace {

// Sets TMPDIR for the life of the object.
class ScopedTmpdir {
 public:
  explicit ScopedTmpdir(const std::string& value) {
    if (const char* old = std::getenv("TMPDIR")) saved_ = old;
    setenv("TMPDIR", value.c_str(), 1);
  }
  ~ScopedTmpdir() {
    if (saved_) {
      setenv("TMPDIR", saved_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// No socket file, or one that nobody listens on any more (a controller that died).
TEST(PipeConnection, NoListenerEndsQuietly) {
  for (const bool socket_file_left : {false, true}) {
    SCOPED_TRACE(socket_file_left ? "socket file left" : "no socket file");
    PipeSession s;
    s.handler.hide_on_close_ = true;
    s.controller.StopListening();
    s.pipe.Start(socket_file_left ? s.controller.path() : s.controller.dir() + "/none", s.stop);
    ExpectUntouched(s);
    s.pipe.Stop();  // finds the thread ended
  }
}

// A listener whose only slot is taken: the browser keeps trying until a slot frees, gives up
// after the time-out, or ends without connecting when it is stopped meanwhile.
TEST(PipeConnection, BusyListenerIsJoinedWhenASlotFreesElseGivenUp) {
  enum class End { kSlotFrees, kTimesOut, kStopped };
  for (const End end : {End::kSlotFrees, End::kTimesOut, End::kStopped}) {
    SCOPED_TRACE(static_cast<int>(end));
    PipeSession s(/*backlog=*/0);
    s.handler.hide_on_close_ = true;
    const int filler = ConnectClient(s.controller.path());  // takes the only slot
    ASSERT_GE(filler, 0);
    std::atomic<int> busy{0};
    ConnectOptions options;
    options.on_busy = [&] { ++busy; };
    if (end == End::kTimesOut) options.busy_timeout = std::chrono::milliseconds(200);
    s.pipe.Start(s.controller.path(), s.stop, options);
    if (end == End::kTimesOut) {
      ExpectUntouched(s);
    } else {
      ASSERT_TRUE(WaitUntil([&] { return busy.load() >= 3; }));
      EXPECT_FALSE(s.pipe.ended());
    }
    if (end == End::kStopped) {
      s.pipe.Stop();
      ExpectUntouched(s);
    } else if (end == End::kSlotFrees) {
      ASSERT_TRUE(s.controller.Accept());  // the filler's connection: a slot frees
      ASSERT_TRUE(s.controller.Accept());  // the browser's
      ASSERT_TRUE(s.controller.Send("ISHIDDEN"));
      EXPECT_EQ(s.controller.Read(10), "ISHIDDEN 1");
    }
    close(filler);
  }
}

// Starts a pipe thread for the switch value `name` with TMPDIR set to `controller`'s folder
// and checks that it is `controller` that the browser connects to and talks with.
void ExpectConnectsTo(TestController& controller, const std::string& name) {
  FakeMainHandler handler;
  const ScopedMainHandler scoped(&handler);
  const ScopedTmpdir tmpdir(controller.dir());
  StopSignal stop;
  PipeThread pipe;
  pipe.Start(name, stop);
  ASSERT_TRUE(controller.Accept());
  ASSERT_TRUE(controller.Send("ISHIDDEN"));
  EXPECT_EQ(controller.Read(10), "ISHIDDEN 1");
}

// The switch's name is looked up in TMPDIR, plain first, then as a .NET pipe; a socket file
// that nobody listens on (a controller that died) does not hide the second.
TEST(PipeConnection, NameIsLookedUpInTmpdirPlainFirstThenAsDotNetPipe) {
  const struct {
    const char* listener;
    const char* name;
    const char* other;  // a second socket, live or left by a dead controller
    bool other_live;
  } cases[] = {
      {"CoreFxPipe_ctl", "ctl", nullptr, false},
      {"CoreFxPipe_ctl", "ctl", "ctl", false},
      {"trbrowser", "", "CoreFxPipe_trbrowser", true},  // the default name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.listener) + " beside " + (c.other ? c.other : "nothing"));
    TestController controller(8, c.listener);
    int other = c.other ? ListenAt(controller.dir() + "/" + c.other) : -1;
    if (c.other) {
      ASSERT_GE(other, 0);
    }
    if (!c.other_live && other >= 0) close(std::exchange(other, -1));
    ExpectConnectsTo(controller, c.name);
    if (other < 0) continue;
    pollfd fd{other, POLLIN, 0};
    EXPECT_EQ(poll(&fd, 1, 0), 0);  // nobody connected to the other candidate
    close(other);
  }
}

// Commands the controller sent after QUIT are still waiting, unread, when the browser hangs
// up. The controller must still see a clean end of stream after the report, not a reset.
TEST(PipeConnection, UnreadCommandsAfterQuitDoNotResetTheConnection) {
  PipeSession s;
  Gate gate;
  s.handler.before_call = [&](const std::string& name) {
    if (name == "GetNormalRect") gate.EnterAndWait();
  };
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("QUIT;"));
  ASSERT_TRUE(gate.WaitEntered());
  ASSERT_TRUE(s.controller.Send("SHOW;ISHIDDEN;SHOW;"));
  gate.Release();
  std::string got;
  char buffer[256];
  ssize_t n;
  while ((n = recv(s.controller.connection_fd(), buffer, sizeof buffer, 0)) > 0)
    got.append(buffer, n);
  EXPECT_EQ(got, kDefaultReport);
  EXPECT_EQ(n, 0) << "recv failed: " << std::strerror(errno);
  EXPECT_TRUE(s.WaitEnded());
}

// Signals that land on the pipe thread (a desktop's SIGCHLD, a profiler's timer) interrupt its
// waits; none may end the session, lose a byte or answer twice.
TEST(PipeConnection, InterruptedSystemCallsAreRetried) {
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = [](int) {};  // no SA_RESTART: every signal makes a blocked call fail
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  {
    PipeSession s;
    std::atomic<pthread_t> pipe_thread{};
    std::atomic<bool> known{false};
    s.handler.before_call = [&](const std::string&) {
      pipe_thread = pthread_self();
      known = true;
    };
    ASSERT_TRUE(s.Connect());
    ASSERT_TRUE(s.controller.Send("SHOW;"));
    ASSERT_TRUE(WaitUntil([&] { return known.load(); }));
    std::atomic<bool> done{false};
    std::thread signaller([&] {
      while (!done) {
        pthread_kill(pipe_thread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    const std::unique_ptr<void, std::function<void(void*)>> stop_signaller(&done, [&](void*) {
      done = true;
      signaller.join();
    });
    for (int i = 0; i < 200; ++i) {
      ASSERT_TRUE(s.controller.Send(i % 2 ? "ISHIDDEN" : "SHOW;HIDE;ISHIDDEN;"));
      ASSERT_EQ(s.controller.Read(10), "ISHIDDEN 1") << "round trip " << i;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // signals while it waits
    }
    ASSERT_TRUE(s.controller.Send("QUIT"));
    bool closed = false;
    EXPECT_EQ(s.controller.ReadUntilClosed(&closed), kDefaultReport);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(s.WaitEnded());
  }
  sigaction(SIGUSR1, &old, nullptr);
}

// The refusal is also held against the real browser (tests/stress/test_security.py); here
// also that the refused connection is closed at once, without a byte.
TEST(PipeConnection, ControllerOfAnotherUserIsRefused) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a controller as another user (uid 65534)";
  }
  TempDir dir;
  chmod(dir.path().c_str(), 0777);
  const std::string path = dir.path() + "/other.sock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The controller, as user nobody: listen, report ready, then wait for the browser's
    // connection and tell whether it went away without sending anything.
    close(ready[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(11);
    if (listen(listener, 4) != 0) _exit(12);
    const char byte = 'r';
    if (write(ready[1], &byte, 1) != 1) _exit(13);
    pollfd fd{listener, POLLIN, 0};
    if (poll(&fd, 1, 30000) != 1) _exit(14);
    const int conn = accept(listener, nullptr, nullptr);
    char c;
    fd = {conn, POLLIN, 0};
    if (poll(&fd, 1, 30000) != 1) _exit(15);
    _exit(read(conn, &c, 1) == 0 ? 0 : 16);  // closed without a byte
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);

  FakeMainHandler handler;
  handler.hide_on_close_ = true;
  const ScopedMainHandler scoped(&handler);
  StopSignal stop;
  PipeThread pipe;
  testing::internal::CaptureStderr();
  pipe.Start(path, stop);
  EXPECT_TRUE(WaitUntil([&] { return pipe.ended(); }));
  const std::string error = testing::internal::GetCapturedStderr();
  EXPECT_NE(error.find("runs as uid 65534"), std::string::npos) << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
  EXPECT_EQ(handler.resolve_count(), 0);
  EXPECT_TRUE(handler.hide_on_close_);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace trb::testing_support
