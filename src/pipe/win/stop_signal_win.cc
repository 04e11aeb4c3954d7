// The stop signal as a manual-reset Win32 event, so that the pipe thread's wait between two
// peeks at the pipe ends the moment the UI thread asks it to stop.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "pipe/stop_signal.h"

namespace trb {

// Never destroyed: a pipe thread still running at exit must not meet a closed handle.
StopSignal& g_pipe_stop = *new StopSignal;

StopSignal::StopSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (event_ == nullptr) {
    // Without it the pipe thread could never be told to stop, and the browser's close would
    // wait forever; better to fail at start-up where the cause is plain.
    std::fprintf(stderr,
                 "trbrowser: cannot create the pipe thread's stop signal (CreateEvent error "
                 "%lu); free some system resources and start the browser again.\n",
                 GetLastError());
    std::abort();
  }
}

StopSignal::~StopSignal() { CloseHandle(event_); }

void StopSignal::Set() {
  if (set_.exchange(true, std::memory_order_acq_rel)) return;
  SetEvent(event_);
}

}  // namespace trb
