// The test controller over a Windows named pipe: server instances made with CreateNamedPipeA,
// byte mode, overlapped; path() is the "named-pipe" switch value. The header's int fields hold
// the handles (Windows defines kernel handles to fit in 32 bits; -1 stays "none").
#include <algorithm>
#include <limits>
#include <stdexcept>

#include "overlapped_io.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

int g_names = 0;

// Finishes the overlapped call that `started` began on `h`, waiting at most `timeout` (then
// cancelling it): the byte count, or -1 with the error in `error`.
int64_t Finish(HANDLE h, OVERLAPPED& ov, BOOL started, DWORD timeout, DWORD& error) {
  DWORD count = 0;
  error = started ? 0 : GetLastError();
  if (error == ERROR_IO_PENDING && WaitForSingleObject(ov.hEvent, timeout) != WAIT_OBJECT_0) {
    CancelIoEx(h, &ov);
    GetOverlappedResult(h, &ov, &count, TRUE);
    error = WAIT_TIMEOUT;
  } else if (error == 0 || error == ERROR_IO_PENDING) {
    error = GetOverlappedResult(h, &ov, &count, FALSE) ? 0 : GetLastError();
  }
  CloseHandle(ov.hEvent);
  return error == 0 ? static_cast<int64_t>(count) : -1;
}

OVERLAPPED NewOverlapped() {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return ov;
}

}  // namespace

HANDLE NewServerInstance(const std::string& name, DWORD max_instances) {
  return CreateNamedPipeA(PipePath(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, max_instances, 65536,
                          65536, 0, nullptr);
}

bool AcceptClient(HANDLE instance, std::chrono::milliseconds timeout) {
  OVERLAPPED ov = NewOverlapped();
  DWORD error = 0;
  return Finish(instance, ov, ConnectNamedPipe(instance, &ov), timeout.count(), error) >= 0 ||
         error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

bool WriteAll(HANDLE pipe, std::string_view bytes) {
  for (int64_t n = 0; !bytes.empty(); bytes.remove_prefix(n)) {
    OVERLAPPED ov = NewOverlapped();
    DWORD error = 0;
    n = Finish(pipe, ov, WriteFile(pipe, bytes.data(), bytes.size(), nullptr, &ov), 20000, error);
    if (n <= 0) return false;
  }
  return true;
}

std::string ReadUpTo(HANDLE pipe, size_t count, std::chrono::milliseconds timeout, bool* closed) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string out;
  char buffer[65536];
  DWORD error = 0;
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    OVERLAPPED ov = NewOverlapped();
    const DWORD wanted = std::min(sizeof buffer, count - out.size());
    const int64_t n = Finish(pipe, ov, ReadFile(pipe, buffer, wanted, nullptr, &ov),
                             std::max<int64_t>(left.count(), 0), error);
    if (n < 0) break;
    out.append(buffer, n);
  }
  if (closed != nullptr) *closed = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
  return out;
}

// No test of the Windows build uses the controller's directory.
TempDir::TempDir() = default;
TempDir::~TempDir() = default;

// The backlog has no named-pipe counterpart; the busy-pipe tests make their own instances.
TestController::TestController(int /*backlog*/, std::string socket_name)
    : path_("trb-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++g_names) +
            "-" + socket_name),
      listen_fd_(HandleToLong(NewServerInstance(path_))) {
  if (listen_fd_ == -1)
    throw std::runtime_error("CreateNamedPipeA: " + std::to_string(GetLastError()));
}

TestController::~TestController() {
  CloseConnection();
  StopListening();
}

// Like a listening socket, the controller has a free instance waiting once it has accepted.
bool TestController::Accept(std::chrono::milliseconds timeout) {
  CloseConnection();
  if (listen_fd_ == -1 || !AcceptClient(LongToHandle(listen_fd_), timeout)) return false;
  conn_fd_ = listen_fd_;
  listen_fd_ = HandleToLong(NewServerInstance(path_));
  return true;
}

bool TestController::Send(std::string_view bytes) {
  return WriteAll(LongToHandle(conn_fd_), bytes);
}

std::string TestController::Read(size_t count, std::chrono::milliseconds timeout) {
  return ReadUpTo(LongToHandle(conn_fd_), count, timeout);
}

std::string TestController::ReadUntilClosed(bool* closed, std::chrono::milliseconds timeout) {
  return ReadUpTo(LongToHandle(conn_fd_), std::numeric_limits<size_t>::max(), timeout, closed);
}

// Without DisconnectNamedPipe: what was sent stays readable for the browser.
void TestController::CloseConnection() {
  if (conn_fd_ != -1) CloseHandle(LongToHandle(conn_fd_));
  conn_fd_ = -1;
}

void TestController::StopListening() {
  if (listen_fd_ != -1) CloseHandle(LongToHandle(listen_fd_));
  listen_fd_ = -1;
}

}  // namespace trb::testing_support
