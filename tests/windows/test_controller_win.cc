// The test controller over a Windows named pipe of byte-mode overlapped instances. The int fields
// hold the handles (kernel handles fit in 32 bits; -1 stays "none").
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "pipe/win/named_pipe_transport.h"
#include "test_controller.h"

namespace trb::testing_support {
namespace {

int g_names = 0;

// Runs one overlapped call on `fd`, waiting at most `timeout` (then cancelling it): the byte
// count, or -1 with the error in `error`.
template <typename Call>
int64_t Overlapped(int fd, std::chrono::milliseconds timeout, DWORD& error, Call call) {
  const HANDLE h = LongToHandle(fd);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD count = 0;
  error = call(h, &ov) ? 0 : GetLastError();
  if (error == ERROR_IO_PENDING &&
      WaitForSingleObject(ov.hEvent, timeout.count()) != WAIT_OBJECT_0) {
    CancelIoEx(h, &ov);
    GetOverlappedResult(h, &ov, &count, TRUE);
    error = WAIT_TIMEOUT;
  } else if (error == 0 || error == ERROR_IO_PENDING) {
    error = GetOverlappedResult(h, &ov, &count, FALSE) ? 0 : GetLastError();
  }
  CloseHandle(ov.hEvent);
  return error == 0 ? static_cast<int64_t>(count) : -1;
}

int NewInstance(const std::string& name) {
  return HandleToLong(CreateNamedPipeA((kPipePathPrefix + name).c_str(),
                                       PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr));
}

// Reads until `count` bytes have come, the client has closed (`closed`) or a read times out.
std::string ReadUpTo(int fd, size_t count, std::chrono::milliseconds timeout, bool* closed) {
  std::string out;
  char buffer[65536];
  DWORD error = 0;
  for (int64_t n = 0; out.size() < count && n >= 0; out.append(buffer, std::max<int64_t>(n, 0))) {
    n = Overlapped(fd, timeout, error, [&](HANDLE h, OVERLAPPED* ov) {
      return ReadFile(h, buffer, std::min(sizeof buffer, count - out.size()), nullptr, ov);
    });
  }
  if (closed != nullptr) *closed = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
  return out;
}

}  // namespace

TempDir::TempDir() = default;  // no test of the Windows build uses the controller's directory
TempDir::~TempDir() = default;

TestController::TestController(int /*backlog: none here*/, std::string socket_name)
    : path_("trb-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++g_names) +
            "-" + socket_name),
      listen_fd_(NewInstance(path_)) {
  if (listen_fd_ == -1)
    throw std::runtime_error("CreateNamedPipeA: " + std::to_string(GetLastError()));
}

TestController::~TestController() { CloseConnection(), StopListening(); }

// Like a listening socket, the controller has a free instance waiting once it has accepted.
bool TestController::Accept(std::chrono::milliseconds timeout) {
  CloseConnection();
  DWORD error = 0;
  if (listen_fd_ == -1 || (Overlapped(listen_fd_, timeout, error, ::ConnectNamedPipe) < 0 &&
                           error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA))
    return false;
  conn_fd_ = std::exchange(listen_fd_, NewInstance(path_));
  return true;
}

bool TestController::Send(std::string_view bytes) {
  DWORD error = 0;
  for (int64_t n = 0; !bytes.empty(); bytes.remove_prefix(n)) {
    n = Overlapped(conn_fd_, std::chrono::seconds(20), error, [&](HANDLE h, OVERLAPPED* ov) {
      return WriteFile(h, bytes.data(), bytes.size(), nullptr, ov);
    });
    if (n <= 0) return false;
  }
  return true;
}

std::string TestController::Read(size_t count, std::chrono::milliseconds timeout) {
  return ReadUpTo(conn_fd_, count, timeout, nullptr);
}

std::string TestController::ReadUntilClosed(bool* closed, std::chrono::milliseconds timeout) {
  return ReadUpTo(conn_fd_, std::numeric_limits<size_t>::max(), timeout, closed);
}

// Without DisconnectNamedPipe: what was sent stays readable for the browser.
void TestController::CloseConnection() {
  if (conn_fd_ != -1) CloseHandle(LongToHandle(std::exchange(conn_fd_, -1)));
}

void TestController::StopListening() {
  if (listen_fd_ != -1) CloseHandle(LongToHandle(std::exchange(listen_fd_, -1)));
}

}  // namespace trb::testing_support
