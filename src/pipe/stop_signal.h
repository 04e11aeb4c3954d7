// A one-shot signal without a value that a thread can wait for together with file
// descriptors in poll() (on Windows, as an event): the pipe thread's only link to the UI
// thread's shut-down.
#pragma once

#include <atomic>

namespace trb {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Any thread. Idempotent; the signal never goes back to unset.
  void Set();
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
  // Becomes readable (POLLIN) once Set has been called and stays readable; never read it.
  int fd() const { return fd_; }
  // Windows: a manual-reset event (a HANDLE) that is signalled once Set has been called.
  void* event() const { return event_; }

 private:
  std::atomic<bool> set_{false};
  int fd_ = -1;
  void* event_ = nullptr;
};

// The process's stop signal for the pipe thread, set by StopPipeThread.
extern StopSignal& g_pipe_stop;

}  // namespace trb
