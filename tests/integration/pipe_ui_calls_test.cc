// Calls the pipe thread makes on the UI thread, and stopping the pipe thread while such a
// call is in flight: the UI thread's wait must run it instead of deadlocking.
#include "pipe/ui_calls.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pipe_session.h"

namespace trb::testing_support {
namespace {

// Makes the test's thread the UI thread, for one test: its loop runs the queued calls only
// when the waker has asked it to.
class UiThread {
 public:
  UiThread() {
    SetUiWaker([this] {
      std::lock_guard lock(mutex_);
      woken_ = true;
      woken_cv_.notify_all();
    });
  }
  ~UiThread() { SetUiWaker(nullptr); }
  // One turn of the loop: waits to be woken, then runs what is queued. False on time-out.
  bool RunWhenWoken() {
    std::unique_lock lock(mutex_);
    if (!woken_cv_.wait_for(lock, 20s, [&] { return woken_; })) return false;
    woken_ = false;
    lock.unlock();
    DrainUiCalls();
    return true;
  }
  bool woken() {
    std::lock_guard lock(mutex_);
    return woken_;
  }
  const std::thread::id id = std::this_thread::get_id();

 private:
  std::mutex mutex_;
  std::condition_variable woken_cv_;
  bool woken_ = false;
};

// Without a UI thread, or on it, a call runs at once on the calling thread.
TEST(UiCalls, WithoutWakerOrOnTheUiThreadRunInline) {
  SetUiWaker(nullptr);
  std::thread::id ran_on;
  RunOnUiThread([&] { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  UiThread ui;
  bool ran = false;
  RunOnUiThread([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(ui.woken());
}

TEST(UiCalls, RunOnTheUiThreadAndWaitForItAndPassExceptionsBack) {
  UiThread ui;
  std::vector<std::thread::id> ran_on;
  bool finished = false;  // set by the worker's last call, on the UI thread
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) {
      RunOnUiThread([&] { ran_on.push_back(std::this_thread::get_id()); });
      EXPECT_EQ(ran_on.size(), static_cast<size_t>(i + 1));  // done before the return
    }
    EXPECT_THROW(RunOnUiThread([] { throw std::runtime_error("boom"); }), std::runtime_error);
    RunOnUiThread([&] { finished = true; });
  });
  while (!finished) ASSERT_TRUE(ui.RunWhenWoken()) << ran_on.size() << " calls ran";
  worker.join();
  ASSERT_EQ(ran_on.size(), 100u);
  for (const std::thread::id id : ran_on) EXPECT_EQ(id, ui.id);
}

// The UI thread is busy (it never drains on its own) when it stops the pipe thread, which is
// waiting inside a UI call: the stop runs the call, the reply and the report still go out.
TEST(UiCalls, StopWhilePipeThreadWaitsInsideAUiCall) {
  UiThread ui;
  PipeSession s;
  std::atomic<int> off_ui{0};
  s.handler.before_call = [&](const std::string&) {
    RunOnUiThread([&] { off_ui += std::this_thread::get_id() != ui.id; });
  };
  ASSERT_TRUE(s.Connect());
  ASSERT_TRUE(s.controller.Send("ISHIDDEN;SHOW"));
  ASSERT_TRUE(WaitUntil([&] { return ui.woken(); }));  // the call is queued
  s.pipe.Stop();
  EXPECT_TRUE(s.pipe.ended());
  bool closed = false;
  EXPECT_EQ(s.controller.ReadUntilClosed(&closed), std::string("ISHIDDEN 1") + kDefaultReport);
  EXPECT_TRUE(closed);
  EXPECT_EQ(s.handler.Calls(),
            (std::vector<std::string>{"IsWindowHidden", "ShowWindowNormal", "GetNormalRect"}));
  EXPECT_EQ(off_ui, 0);
}

// Many times over: a UI loop runs a few calls, then stops the pipe thread while the
// controller keeps sending commands that need the UI thread. Every round must end.
TEST(UiCalls, StoppingUnderLoadNeverHangs) {
  TestController controller;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    UiThread ui;
    std::atomic<int> off_ui{0};
    FakeMainHandler handler;
    const ScopedMainHandler scoped(&handler);
    handler.before_call = [&](const std::string&) {
      RunOnUiThread([&] { off_ui += std::this_thread::get_id() != ui.id; });
    };
    StopSignal stop;
    PipeThread pipe;
    pipe.Start(controller.path(), stop);
    ASSERT_TRUE(controller.Accept());

    std::string received;
    bool closed = false;
    std::thread io([&] {
      for (int i = 0; i < 100; ++i) {
        if (!controller.Send("SHOW;ISHIDDEN;HIDE;GETURL;NORESIZE;")) break;
      }
      received = controller.ReadUntilClosed(&closed, 60s);
    });

    // The UI loop: a few rounds of running calls, then the close.
    for (int i = 0; i < round % 9 && ui.RunWhenWoken(); ++i) {
    }
    pipe.Stop();
    EXPECT_TRUE(pipe.ended());
    io.join();
    EXPECT_TRUE(closed);
    const std::string report = kDefaultReport;
    ASSERT_GE(received.size(), report.size());
    EXPECT_EQ(received.substr(received.size() - report.size()), report);
    EXPECT_EQ(off_ui, 0);
  }
}

}  // namespace
}  // namespace trb::testing_support
