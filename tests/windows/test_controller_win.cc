// The test controller over a Windows named pipe: the server side made with CreateNamedPipeA
// in byte mode. The "named-pipe" switch value the browser is given is path().
//
// Handles are kept in the header's int fields: Windows defines kernel handles to fit in 32
// bits (HandleToLong and LongToHandle exist for that), and -1 stays "none".
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>

#include "overlapped_io.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

std::atomic<int> g_names{0};

HANDLE AsHandle(int value) { return LongToHandle(value); }
int AsInt(HANDLE handle) { return HandleToLong(handle); }

}  // namespace

TempDir::TempDir() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (;;) {
    const std::filesystem::path dir =
        base / ("trb-pipe-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++g_names));
    if (std::filesystem::create_directory(dir)) {
      path_ = dir.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

// The backlog has no named-pipe counterpart; tests of busy pipes make their own instances.
TestController::TestController(int /*backlog*/, std::string socket_name)
    : path_("trb-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++g_names) +
            "-" + socket_name) {
  const HANDLE instance = NewServerInstance(path_);
  if (instance == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("CreateNamedPipeA failed: " + std::to_string(GetLastError()));
  }
  listen_fd_ = AsInt(instance);
}

TestController::~TestController() {
  CloseConnection();
  StopListening();
}

// Like a listening socket, the controller always has a free instance waiting once it has
// accepted: a browser that comes before the next Accept connects and is accepted then.
bool TestController::Accept(std::chrono::milliseconds timeout) {
  CloseConnection();
  if (listen_fd_ == -1) return false;
  if (!AcceptClient(AsHandle(listen_fd_), timeout)) return false;
  conn_fd_ = listen_fd_;
  const HANDLE next = NewServerInstance(path_);
  listen_fd_ = next == INVALID_HANDLE_VALUE ? -1 : AsInt(next);
  return true;
}

bool TestController::Send(std::string_view bytes) { return WriteAll(AsHandle(conn_fd_), bytes); }

std::string TestController::Read(size_t count, std::chrono::milliseconds timeout) {
  return ReadUpTo(AsHandle(conn_fd_), count, timeout);
}

std::string TestController::ReadUntilClosed(bool* closed, std::chrono::milliseconds timeout) {
  return ReadUpTo(AsHandle(conn_fd_), std::numeric_limits<size_t>::max(), timeout, closed);
}

// Closing without DisconnectNamedPipe: what was sent stays readable for the browser.
void TestController::CloseConnection() {
  if (conn_fd_ != -1) CloseHandle(AsHandle(conn_fd_));
  conn_fd_ = -1;
}

void TestController::StopListening() {
  if (listen_fd_ != -1) CloseHandle(AsHandle(listen_fd_));
  listen_fd_ = -1;
}

}  // namespace trb::testing_support
