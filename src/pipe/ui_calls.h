// Blocking calls from the pipe thread onto the UI thread, for engines and toolkits that may
// only be used there. The queue is drained by the UI loop and also by StopPipeThread while
// it waits, so a call in flight during shut-down can never deadlock the two threads.
#pragma once

#include <functional>

namespace trb {

// How to get the UI loop to call DrainUiCalls soon (for Qt: a queued invocation). Set once
// on the UI thread before the pipe thread starts.
void SetUiWaker(std::function<void()> wake);

// Pipe thread: runs `fn` on the UI thread and returns when it has run.
void RunOnUiThread(const std::function<void()>& fn);

// UI thread: runs every queued call.
void DrainUiCalls();

}  // namespace trb
