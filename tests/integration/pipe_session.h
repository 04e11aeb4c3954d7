// One browser-side pipe thread against one test controller, with a recording fake browser:
// the setting of most pipe integration tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "fake_browser.h"
#include "pipe/pipe_thread.h"
#include "pipe/stop_signal.h"
#include "test_controller.h"

namespace trb::testing_support {

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Holds a fake's call until the test lets it go.
class Gate {
 public:
  void EnterAndWait() {
    std::unique_lock lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
  }
  bool WaitEntered(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return entered_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
};

struct PipeSession {
  explicit PipeSession(int backlog = 8) : controller(backlog) {}

  // Starts the pipe thread on the controller's socket and accepts its connection.
  bool Connect(ConnectOptions options = {}) {
    pipe.Start(controller.path(), stop, std::move(options));
    return controller.Accept();
  }
  bool WaitEnded() {
    return WaitUntil([&] { return pipe.ended(); });
  }

  FakeMainHandler handler;
  ScopedMainHandler scoped{&handler};
  TestController controller;
  StopSignal stop;
  PipeThread pipe;  // last: stopped and joined before the rest goes
};

inline constexpr char kDefaultReport[] = "GEOMETRY 100 200 700 1000";

// Checks that the pipe thread ended without touching the browser or the settings (which the
// test set to hide on close).
inline void ExpectUntouched(PipeSession& s) {
  EXPECT_TRUE(s.WaitEnded());
  EXPECT_EQ(s.handler.resolve_count(), 0);
  EXPECT_TRUE(s.handler.Calls().empty());
  EXPECT_TRUE(s.handler.hide_on_close_);
}

}  // namespace trb::testing_support
