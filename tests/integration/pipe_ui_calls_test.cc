// Calls the pipe thread makes on the UI thread, and stopping the pipe thread while such a
// call is in flight: the UI thread's wait must run it instead of deadlocking.
#include "pipe/ui_calls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_controller.h"

namespace trb::testing_support {
namespace {

// Makes the test's thread the UI thread; its loop runs the queued calls only when woken.
struct UiThread {
  UiThread() {
    SetUiWaker([this] { woken = true; });
  }
  ~UiThread() { SetUiWaker(nullptr); }
  bool RunWhenWoken() {
    if (!WaitUntil([&] { return woken.exchange(false); })) return false;
    DrainUiCalls();
    return true;
  }
  std::atomic<bool> woken{false};
  const std::thread::id id = std::this_thread::get_id();
};

TEST(UiCalls, RunOnTheUiThreadAreWaitedForAndPassExceptionsBack) {
  int ran = 0;
  RunOnUiThread([&] { ++ran; });  // without a UI thread: at once
  UiThread ui;
  RunOnUiThread([&] { ++ran; });  // on the UI thread itself: at once
  EXPECT_EQ(ran, 2);
  EXPECT_FALSE(ui.woken);
  std::vector<std::thread::id> ran_on;
  bool finished = false;  // set by the worker's last call, on the UI thread
  std::thread worker([&] {
    for (size_t i = 1; i <= 10; ++i) {
      RunOnUiThread([&] { ran_on.push_back(std::this_thread::get_id()); });
      EXPECT_EQ(ran_on.size(), i);  // done before the return
    }
    EXPECT_THROW(RunOnUiThread([] { throw std::runtime_error("boom"); }), std::runtime_error);
    RunOnUiThread([&] { finished = true; });
  });
  while (!finished && ui.RunWhenWoken()) {
  }
  worker.join();
  EXPECT_EQ(ran_on, std::vector<std::thread::id>(10, ui.id));
}

// A UI loop that never drains on its own stops the pipe thread, which waits inside a UI call
// or is about to make one: the stop runs the calls, and the replies and the report go out.
// Many times over, with the controller still sending.
TEST(UiCalls, StopWhilePipeThreadWaitsInsideAUiCall) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    UiThread ui;
    PipeSession s;
    std::atomic<int> off_ui{0};
    s.handler.before_call = [&](const std::string&) {
      RunOnUiThread([&] { off_ui += std::this_thread::get_id() != ui.id; });
    };
    ASSERT_TRUE(s.Connect());
    ASSERT_TRUE(s.controller.Send("ISHIDDEN;SHOW"));
    ASSERT_TRUE(WaitUntil([&] { return ui.woken.load(); }));  // the first call is queued
    std::thread more([&] {
      for (int i = 0; i < round && s.controller.Send("SHOW;ISHIDDEN;GETURL;"); ++i) {
      }
    });
    for (int i = 0; i < round % 5 && ui.RunWhenWoken(); ++i) {
    }
    s.pipe.Stop();
    more.join();
    bool closed = false;
    const std::string got = s.controller.ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got.substr(0, 10), "ISHIDDEN 1");
    EXPECT_TRUE(got.ends_with(kDefaultReport)) << got;
    EXPECT_EQ(off_ui, 0);
    if (round == 0) {
      EXPECT_EQ(s.handler.Calls(),
                (std::vector<std::string>{"IsWindowHidden", "ShowWindowNormal", "GetNormalRect"}));
    }
  }
}

}  // namespace
}  // namespace trb::testing_support
