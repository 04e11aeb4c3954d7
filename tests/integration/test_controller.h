// The controller's side of the pipe for tests: a listening Unix socket in a private
// directory, with bounded reads and writes so that a broken browser side fails a test
// instead of hanging it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

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
  const std::string& path() const { return path_; }

  // Accepts the next connection (closing a previous one). False on time-out.
  bool Accept(std::chrono::milliseconds timeout = 20s);
  // Writes all of `bytes` on the accepted connection. False when that failed.
  bool Send(std::string_view bytes);
  // Reads until `count` bytes have arrived, the browser side closed, or the time-out.
  std::string Read(size_t count, std::chrono::milliseconds timeout = 20s);
  // Reads until the browser side closes the connection. `closed` tells whether it did
  // within the time-out.
  std::string ReadUntilClosed(bool* closed, std::chrono::milliseconds timeout = 20s);
  // Closes the accepted connection.
  void CloseConnection();
  // Stops listening; the socket file stays (connecting to it is then refused).
  void StopListening();

  int connection_fd() const { return conn_fd_; }

 private:
  TempDir dir_;
  std::string path_;
  int listen_fd_ = -1;
  int conn_fd_ = -1;
};

// A client connection made by the test itself (to fill a listener's backlog).
int ConnectClient(const std::string& path);  // -1 on failure

// A bare listening socket at `path`, for a second listener beside a TestController.
int ListenAt(const std::string& path, int backlog = 8);  // -1 on failure

}  // namespace trb::testing_support
