// The controller's side of the pipe for tests, and a pipe thread with a fake browser behind
// it. Reads and writes are bounded so that a broken browser side fails a test instead of
// hanging it. test_controller.cc listens on a Unix socket; tests/windows/test_controller_win.cc
// serves a named pipe behind the same declarations.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <string_view>
#include <thread>

#include "fake_browser.h"
#include "pipe/pipe_thread.h"
#include "pipe/stop_signal.h"

namespace trb::testing_support {

using namespace std::chrono_literals;

// A private directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class TestController {
 public:
  // Listens on `socket_name` inside a fresh private directory.
  explicit TestController(int backlog = 8, std::string socket_name = "ctl.sock");
  ~TestController();
  TestController(const TestController&) = delete;
  TestController& operator=(const TestController&) = delete;

  const std::string& dir() const { return dir_.path(); }
  const std::string& path() const { return path_; }  // the browser's "named-pipe" value

  bool Accept(std::chrono::milliseconds timeout = 20s);  // closes a previous connection
  bool Send(std::string_view bytes);
  // Reads until `count` bytes have arrived, the browser side closed, or the time-out.
  std::string Read(size_t count, std::chrono::milliseconds timeout = 20s);
  // Reads until the browser side closes; `closed` tells whether it did in time.
  std::string ReadUntilClosed(bool* closed, std::chrono::milliseconds timeout = 20s);
  void CloseConnection();
  void StopListening();  // the socket file stays: connecting to it is then refused
  int connection_fd() const { return conn_fd_; }

 private:
  TempDir dir_;
  std::string path_;
  int listen_fd_ = -1;
  int conn_fd_ = -1;
};

// Unix socket only: a client of the test's own (to fill a backlog), a bare listener.
int ConnectClient(const std::string& path);              // -1 on failure
int ListenAt(const std::string& path, int backlog = 8);  // -1 on failure

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Holds a fake's call (once) until the test lets it go.
struct Gate {
  void EnterAndWait() {
    entered.set_value();
    released_future.wait();
  }
  bool WaitEntered() { return entered_future.wait_for(30s) == std::future_status::ready; }
  void Release() { released.set_value(); }
  std::promise<void> entered, released;
  std::future<void> entered_future = entered.get_future(), released_future = released.get_future();
};

// One pipe thread against one test controller, with the fake browser as g_main_handler.
struct PipeSession {
  explicit PipeSession(int backlog = 8) : controller(backlog) {}
  // Starts the pipe thread on the controller's pipe and accepts its connection.
  bool Connect(ConnectOptions options = {}) {
    pipe.Start(controller.path(), stop, std::move(options));
    return controller.Accept();
  }
  bool WaitEnded() {
    return WaitUntil([&] { return pipe.ended(); });
  }
  // Stops the pipe thread and reads all it wrote; fails the test unless it closed.
  std::string StopAndRead() {
    pipe.Stop();
    bool closed = false;
    std::string got = controller.ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
    return got;
  }

  FakeMainHandler handler;
  ScopedMainHandler scoped{&handler};
  TestController controller;
  StopSignal stop;
  PipeThread pipe;  // last: stopped and joined before the rest goes
};

// The final report of a window the controller never placed.
inline constexpr char kDefaultReport[] = "GEOMETRY 100 200 700 1000";

// The pipe thread ended without touching the browser or the settings (which the test set
// to hide on close).
inline void ExpectUntouched(PipeSession& s) {
  EXPECT_TRUE(s.WaitEnded());
  EXPECT_EQ(s.handler.resolve_count(), 0);
  EXPECT_TRUE(s.handler.Calls().empty());
  EXPECT_TRUE(s.handler.hide_on_close_);
}

}  // namespace trb::testing_support
