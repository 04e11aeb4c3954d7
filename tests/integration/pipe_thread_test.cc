// StartPipeThread and StopPipeThread, the process's one pipe thread. Each case runs in a child
// process of its own, since the thread can be started only once per process. What the thread
// does once started (names, listeners, sessions) is PipeThread's, tested in the other pipe
// tests.
#include "pipe/pipe_thread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pipe/ui_calls.h"
#include "pipe_session.h"

namespace trb::testing_support {
namespace {

// Ends the child with status 1 and a message when `ok` is false.
void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "failed: %s\n", what);
  std::_Exit(1);
}

class PipeThreadTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PipeThreadTest, StopWithoutStartReturns) {
  EXPECT_EXIT(
      {
        StopPipeThread();
        StopPipeThread();
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// StopPipeThread itself runs the UI call the thread waits in: a UI loop that never gets to
// drain would otherwise hold the stop, and the report, for ever. Then there is no second
// thread.
TEST_F(PipeThreadTest, StartServeStopRunningTheUiCallInFlightAndNoSecondStart) {
  EXPECT_EXIT(
      {
        std::atomic<bool> woken{false};
        SetUiWaker([&] { woken = true; });  // a UI loop that never gets to drain
        FakeMainHandler handler;
        const ScopedMainHandler scoped(&handler);
        handler.before_call = [](const std::string&) { RunOnUiThread([] {}); };
        TestController controller;
        SetPipeSwitchValue(controller.path());
        StartPipeThread();
        Require(controller.Accept(), "connection");
        Require(controller.Send("ISHIDDEN"), "send");
        Require(WaitUntil([&] { return woken.load(); }), "call queued");
        StopPipeThread();
        bool closed = false;
        Require(controller.ReadUntilClosed(&closed) == std::string("ISHIDDEN 1") + kDefaultReport,
                "reply and report");
        Require(closed, "closed after the report");
        StopPipeThread();   // again: returns at once
        StartPipeThread();  // never a second thread
        Require(!controller.Accept(std::chrono::milliseconds(300)), "no second connection");
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace trb::testing_support
