// StartPipeThread and StopPipeThread, the process's one pipe thread. Each case runs in a child
// process of its own, since the thread can be started only once per process. What the thread
// does once started is PipeThread's, tested in the other pipe tests.
#include "pipe/pipe_thread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

TEST_F(PipeThreadTest, StartServeStopReportAndNoSecondStart) {
  EXPECT_EXIT(
      {
        FakeMainHandler handler;
        const ScopedMainHandler scoped(&handler);
        TestController controller;
        SetPipeSwitchValue(controller.path());
        StartPipeThread();
        Require(controller.Accept(), "connection");
        Require(controller.Send("SHOW;ISHIDDEN"), "send");
        Require(controller.Read(10) == "ISHIDDEN 0", "reply");
        StopPipeThread();
        bool closed = false;
        Require(controller.ReadUntilClosed(&closed) == kDefaultReport, "report");
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
