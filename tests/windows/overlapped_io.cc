#include "overlapped_io.h"

#include <algorithm>

namespace trb::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

DWORD MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<DWORD>(left.count());
}

// One overlapped call on `handle`, waited for at most `timeout` and cancelled after it.
class Overlapped {
 public:
  explicit Overlapped(HANDLE handle) : handle_(handle) {
    ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Overlapped() { CloseHandle(ov_.hEvent); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  OVERLAPPED* get() { return &ov_; }

  // `started` is what the call returned. True with the count when it completed; false with
  // the error (WAIT_TIMEOUT after a cancelled wait).
  bool Finish(BOOL started, DWORD timeout, DWORD* count, DWORD* error) {
    *count = 0;
    *error = 0;
    if (!started) {
      *error = GetLastError();
      if (*error != ERROR_IO_PENDING) return false;
      if (WaitForSingleObject(ov_.hEvent, timeout) != WAIT_OBJECT_0) {
        CancelIoEx(handle_, &ov_);
        GetOverlappedResult(handle_, &ov_, count, TRUE);
        *error = WAIT_TIMEOUT;
        return false;
      }
    }
    if (!GetOverlappedResult(handle_, &ov_, count, FALSE)) {
      *error = GetLastError();
      return false;
    }
    return true;
  }

 private:
  HANDLE handle_;
  OVERLAPPED ov_{};
};

}  // namespace

HANDLE NewServerInstance(const std::string& name, DWORD max_instances) {
  return CreateNamedPipeA(PipePath(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, max_instances, 65536,
                          65536, 0, nullptr);
}

bool AcceptClient(HANDLE instance, std::chrono::milliseconds timeout) {
  Overlapped ov(instance);
  DWORD count = 0;
  DWORD error = 0;
  const BOOL started = ConnectNamedPipe(instance, ov.get());
  return ov.Finish(started, static_cast<DWORD>(timeout.count()), &count, &error) ||
         error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

bool WriteAll(HANDLE pipe, std::string_view bytes) {
  while (!bytes.empty()) {
    Overlapped ov(pipe);
    DWORD count = 0;
    DWORD error = 0;
    const BOOL started =
        WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, ov.get());
    if (!ov.Finish(started, 20000, &count, &error) || count == 0) return false;
    bytes.remove_prefix(count);
  }
  return true;
}

std::string ReadUpTo(HANDLE pipe, size_t count, std::chrono::milliseconds timeout, bool* closed) {
  const auto deadline = Clock::now() + timeout;
  std::string out;
  char buffer[65536];
  if (closed != nullptr) *closed = false;
  while (out.size() < count) {
    Overlapped ov(pipe);
    DWORD n = 0;
    DWORD error = 0;
    const DWORD wanted = static_cast<DWORD>(std::min(sizeof buffer, count - out.size()));
    const BOOL started = ReadFile(pipe, buffer, wanted, nullptr, ov.get());
    if (!ov.Finish(started, MillisLeft(deadline), &n, &error)) {
      if (closed != nullptr) {
        *closed = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
      }
      break;
    }
    out.append(buffer, n);
  }
  return out;
}

}  // namespace trb::testing_support
