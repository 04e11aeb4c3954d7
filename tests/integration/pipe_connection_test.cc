// Finding, connecting to and hanging up on the controller's Unix socket: no listener, a busy
// one, the name looked up in TMPDIR, a controller of another user, interrupted system calls,
// a clean end of stream; and the process's one pipe thread.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "pipe/ui_calls.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

// No socket file, or one that nobody listens on any more (a controller that died).
TEST(PipeConnection, NoListenerEndsQuietly) {
  for (const bool socket_file_left : {false, true}) {
    SCOPED_TRACE(socket_file_left);
    PipeSession s;
    s.handler.hide_on_close_ = true;
    s.controller.StopListening();
    s.pipe.Start(socket_file_left ? s.controller.path() : s.controller.dir() + "/none", s.stop);
    ExpectUntouched(s);
  }
}

// A listener whose only slot is taken: the browser keeps trying until a slot frees, gives up
// after the time-out, or ends without connecting when it is stopped meanwhile.
TEST(PipeConnection, BusyListenerIsJoinedWhenASlotFreesElseGivenUp) {
  for (const char* end : {"slot frees", "times out", "stopped"}) {
    SCOPED_TRACE(end);
    PipeSession s(/*backlog=*/0);
    s.handler.hide_on_close_ = true;
    const int filler = ConnectClient(s.controller.path());  // takes the only slot
    ASSERT_GE(filler, 0);
    std::atomic<int> busy{0};
    ConnectOptions options;
    options.on_busy = [&] { ++busy; };
    if (end[0] == 't') options.busy_timeout = 200ms;
    s.pipe.Start(s.controller.path(), s.stop, options);
    if (end[0] != 't') {
      ASSERT_TRUE(WaitUntil([&] { return busy.load() >= 3; }));
      EXPECT_FALSE(s.pipe.ended());
    }
    if (end[0] == 's' && end[1] == 't') s.pipe.Stop();
    if (end[0] == 's' && end[1] == 'l') {
      ASSERT_TRUE(s.controller.Accept());  // the filler's connection: a slot frees
      ASSERT_TRUE(s.controller.Accept());  // the browser's
      ASSERT_TRUE(s.controller.Send("ISHIDDEN"));
      EXPECT_EQ(s.controller.Read(10), "ISHIDDEN 1");
    } else {
      ExpectUntouched(s);
    }
    close(filler);
  }
}

// The switch's name is looked up in TMPDIR, plain first, then as a .NET pipe; a socket file
// that nobody listens on (a controller that died) does not hide the second.
TEST(PipeConnection, NameIsLookedUpInTmpdirPlainFirstThenAsDotNetPipe) {
  const struct {
    const char *listener, *name, *other;
    bool other_live;
  } cases[] = {{"CoreFxPipe_ctl", "ctl", nullptr, false},
               {"CoreFxPipe_ctl", "ctl", "ctl", false},
               {"trbrowser", "", "CoreFxPipe_trbrowser", true}};  // the default name
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string saved = tmpdir ? tmpdir : "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listener + std::string(" beside ") + (c.other ? c.other : "nothing"));
    PipeSession s;
    TestController controller(8, c.listener);
    int other = c.other ? ListenAt(controller.dir() + "/" + c.other) : -1;
    if (!c.other_live && other >= 0) close(std::exchange(other, -1));
    setenv("TMPDIR", controller.dir().c_str(), 1);
    s.pipe.Start(c.name, s.stop);
    ASSERT_TRUE(controller.Accept());
    ASSERT_TRUE(controller.Send("ISHIDDEN"));
    EXPECT_EQ(controller.Read(10), "ISHIDDEN 1");
    if (other < 0) continue;
    pollfd p{other, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);  // nobody connected to the other candidate
    close(other);
  }
  tmpdir ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
}

// Commands sent after QUIT are still unread when the browser hangs up: the controller must
// still see a clean end of stream after the report, not a reset.
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
  while ((n = recv(s.controller.connection_fd(), buffer, sizeof buffer, 0)) > 0) {
    got.append(buffer, n);
  }
  EXPECT_EQ(got, kDefaultReport);
  EXPECT_EQ(n, 0) << "recv failed: " << std::strerror(errno);
}

// Signals that land on the pipe thread (a desktop's SIGCHLD, a profiler's timer) interrupt its
// waits; none may end the session, lose a byte or answer twice.
TEST(PipeConnection, InterruptedSystemCallsAreRetried) {
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = [](int) {};  // no SA_RESTART: every signal makes a blocked call fail
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  PipeSession s;
  std::atomic<pthread_t> pipe_thread{};
  std::atomic<bool> known{false}, done{false};
  s.handler.before_call = [&](const std::string&) {
    pipe_thread = pthread_self();
    known = true;
  };
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("SHOW;"));
  ASSERT_TRUE(WaitUntil([&] { return known.load(); }));
  std::thread signaller([&] {
    while (!done) {
      pthread_kill(pipe_thread, SIGUSR1);
      std::this_thread::sleep_for(200us);
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_TRUE(s.controller.Send(i % 2 ? "ISHIDDEN" : "SHOW;HIDE;ISHIDDEN;"));
    EXPECT_EQ(s.controller.Read(10), "ISHIDDEN 1") << "round trip " << i;
    std::this_thread::sleep_for(1ms);  // signals while it waits
  }
  EXPECT_TRUE(s.controller.Send("QUIT"));
  EXPECT_EQ(s.StopAndRead(), kDefaultReport);
  done = true;
  signaller.join();
  sigaction(SIGUSR1, &old, nullptr);
}

// Also held against the real browser (tests/stress/test_security.py); here also that the
// refused connection is closed at once, without a byte.
TEST(PipeConnection, ControllerOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user (uid 65534)";
  ASSERT_EQ(seteuid(65534), 0);
  PipeSession s;  // its socket is owned by, and listened on as, uid 65534
  ASSERT_EQ(seteuid(0), 0);
  s.handler.hide_on_close_ = true;
  testing::internal::CaptureStderr();
  s.pipe.Start(s.controller.path(), s.stop);
  ExpectUntouched(s);
  const std::string error = testing::internal::GetCapturedStderr();
  EXPECT_NE(error.find("runs as uid 65534"), std::string::npos) << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
  ASSERT_TRUE(s.controller.Accept());
  EXPECT_EQ(s.StopAndRead(), "");
}

// StartPipeThread works once per process: each case runs in a child of its own.
TEST(PipeThread, StopWithoutStartReturns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT((StopPipeThread(), StopPipeThread(), std::_Exit(0)), testing::ExitedWithCode(0), "");
}

// StopPipeThread runs the UI call the thread waits in (a UI loop that never gets to drain
// would hold the stop and the report for ever); there is never a second thread.
TEST(PipeThread, StartServeStopRunningTheUiCallInFlightAndNoSecondStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto child = [] {
    std::atomic<bool> woken{false};
    SetUiWaker([&] { woken = true; });
    FakeBrowser browser;
    const ScopedMainHandler scoped(&browser);
    browser.before_call = [](const std::string&) { RunOnUiThread([] {}); };
    TestController controller;
    SetPipeSwitchValue(controller.path());
    StartPipeThread();
    bool closed = false;
    if (!controller.Accept() || !controller.Send("ISHIDDEN")) std::_Exit(2);
    if (!WaitUntil([&] { return woken.load(); })) std::_Exit(3);
    StopPipeThread();
    if (controller.ReadUntilClosed(&closed) != std::string("ISHIDDEN 1") + kDefaultReport) {
      std::_Exit(4);
    }
    StopPipeThread();   // again: returns at once
    StartPipeThread();  // never a second thread
    std::_Exit(closed && !controller.Accept(300ms) ? 0 : 5);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace trb::testing_support
