#include "pipe/win/named_pipe_transport.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace trb {
namespace {

class NamedPipeTransport final : public Transport {
 public:
  NamedPipeTransport(HANDLE pipe, const StopSignal& stop)
      : pipe_(pipe), stop_event_(static_cast<HANDLE>(stop.event())) {}
  ~NamedPipeTransport() override { CloseHandle(pipe_); }

  // A synchronous pipe handle has nothing to wait on for incoming bytes that a stop could cut
  // short, so the loop alternates a short wait for the stop with a peek at the pipe.
  Wait WaitReadable() override {
    for (;;) {
      if (WaitForSingleObject(stop_event_, kStopWaitMillis) == WAIT_OBJECT_0) return Wait::kStop;
      DWORD available = 0;
      if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) return Wait::kClosed;
      if (available > 0) return Wait::kData;
    }
  }

  // Called only after a peek found bytes waiting, so the read returns at once. Its result is
  // not looked at: the count it delivered is what counts.
  std::optional<size_t> Read(char* buffer, size_t size) override {
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(size, kMaxRead));
    ReadFile(pipe_, buffer, wanted, &count, nullptr);
    return static_cast<size_t>(count);
  }

  // Polled like WaitReadable, for at most `wait`: the stop or a broken pipe answer false.
  bool MoreArrivesWithin(std::chrono::milliseconds wait) override {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      DWORD available = 0;
      if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) return false;
      if (available > 0) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      const DWORD millis = static_cast<DWORD>(std::min<long long>(left.count(), kStopWaitMillis));
      if (WaitForSingleObject(stop_event_, millis) == WAIT_OBJECT_0) return false;
    }
  }

  // One WriteFile per reply; a failed write loses the reply and the next peek sees why.
  void Write(std::string_view bytes) override {
    DWORD written = 0;
    const DWORD size =
        static_cast<DWORD>(std::min<size_t>(bytes.size(), std::numeric_limits<DWORD>::max()));
    WriteFile(pipe_, bytes.data(), size, &written, nullptr);
  }

 private:
  static constexpr size_t kMaxRead = 2047;

  const HANDLE pipe_;
  const HANDLE stop_event_;
};

}  // namespace

std::string NamedPipePath(std::string_view switch_value) {
  if (switch_value.empty()) return kDefaultPipePath;
  std::string path = kPipePathPrefix;
  path += switch_value;
  return path;
}

std::unique_ptr<Transport> MakeNamedPipeTransport(HANDLE pipe, const StopSignal& stop) {
  return std::make_unique<NamedPipeTransport>(pipe, stop);
}

std::unique_ptr<Transport> ConnectNamedPipe(const std::string& path, const StopSignal& stop,
                                            const ConnectOptions& options) {
  const DWORD wait_millis = static_cast<DWORD>(options.busy_timeout.count());
  for (;;) {
    const HANDLE pipe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return MakeNamedPipeTransport(pipe, stop);
    if (GetLastError() != ERROR_PIPE_BUSY) return nullptr;
    if (options.on_busy) options.on_busy();
    if (!WaitNamedPipeA(path.c_str(), wait_millis)) return nullptr;
  }
}

}  // namespace trb
