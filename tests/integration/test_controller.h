// The controller's side of the pipe for tests (a Unix socket here, a named pipe in
// tests/windows/test_controller_win.cc), and a pipe thread with the fake browser behind it.
// Reads are bounded, so a broken browser side fails a test instead of hanging it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "fake_browser.h"
#include "pipe/pipe_thread.h"

namespace trb::testing_support {

using namespace std::chrono_literals;

class TempDir {  // a private directory, removed with everything in it
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class TestController {  // listens on `socket_name` in a private directory
 public:
  explicit TestController(int backlog = 8, std::string socket_name = "ctl.sock");
  ~TestController();
  const std::string& dir() const { return dir_.path(); }
  const std::string& path() const { return path_; }      // the browser's "named-pipe" value
  bool Accept(std::chrono::milliseconds timeout = 20s);  // closes a previous connection
  bool Send(std::string_view bytes);
  std::string Read(size_t count, std::chrono::milliseconds timeout = 20s);  // or less, on close
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

int ConnectClient(const std::string& path);  // -1 on failure
int ListenAt(const std::string& path, int backlog = 8);

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (; !done(); std::this_thread::sleep_for(1ms)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  return true;
}

struct PipeSession {  // one pipe thread against one test controller
  explicit PipeSession(int backlog = 8) : controller(backlog) {}
  bool Connect(ConnectOptions options = {}) {
    pipe.Start(controller.path(), stop, std::move(options));
    return controller.Accept();
  }
  std::string StopAndRead() {  // all the browser side wrote; fails the test unless it closed
    pipe.Stop();
    bool closed = false;
    std::string got = controller.ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
    return got;
  }

  FakeBrowser handler;
  ScopedMainHandler scoped{&handler};
  TestController controller;
  StopSignal stop;
  PipeThread pipe;  // last: stopped and joined before the rest goes
};

inline constexpr char kDefaultReport[] = "GEOMETRY 100 200 700 1000";  // of a window never placed

inline void ExpectUntouched(PipeSession& s) {  // ended; browser and settings (hide on close) kept
  EXPECT_TRUE(WaitUntil([&] { return s.pipe.ended(); }));
  EXPECT_EQ(s.handler.resolve_count(), 0);
  EXPECT_TRUE(s.handler.Calls().empty());
  EXPECT_TRUE(s.handler.hide_on_close_);
}

}  // namespace trb::testing_support
