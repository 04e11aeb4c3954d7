// Blocking calls from the pipe thread onto the UI thread, for engines and toolkits that may
// only be used there. The queue is drained by the UI loop and also by StopPipeThread while
// it waits, so a call in flight during shut-down can never deadlock the two threads.
#pragma once

#include <functional>

namespace trb {

// How to get the UI loop to call DrainUiCalls soon (for Qt: a queued invocation). Set on the
// UI thread before the pipe thread starts; the calling thread becomes the UI thread. The
// waker must not run DrainUiCalls itself before returning.
void SetUiWaker(std::function<void()> wake);

// Runs `fn` on the UI thread and returns when it has run; an exception it throws is thrown
// here. Runs `fn` at once when called on the UI thread itself, or when no waker is set.
void RunOnUiThread(const std::function<void()>& fn);

// UI thread: runs every queued call.
void DrainUiCalls();

// UI thread: runs queued calls as they come until `finished` is true, then returns. Whoever
// makes `finished` true must call NotifyUiCallsDrainer afterwards.
void DrainUiCallsUntil(const std::function<bool()>& finished);

// Wakes DrainUiCallsUntil to look at its condition again.
void NotifyUiCallsDrainer();

}  // namespace trb
