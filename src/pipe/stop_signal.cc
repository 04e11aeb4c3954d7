#include "pipe/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace trb {

// Never destroyed: a pipe thread still running at exit must not meet a closed descriptor.
StopSignal& g_pipe_stop = *new StopSignal;

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) {
    // Without it the pipe thread could never be told to stop, and the browser's close would
    // wait forever; better to fail at start-up where the cause is plain.
    std::perror(
        "trbrowser: cannot create the pipe thread's stop signal (eventfd); raise the "
        "process's file descriptor limit");
    std::abort();
  }
}

StopSignal::~StopSignal() { close(fd_); }

void StopSignal::Set() {
  if (set_.exchange(true, std::memory_order_acq_rel)) return;
  const uint64_t one = 1;
  // The counter is never read, so it stays non-zero and poll keeps reporting POLLIN.
  [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
}

}  // namespace trb
