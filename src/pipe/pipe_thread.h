// The single pipe thread of the process: started after the main browser exists, stopped when
// the main browser really closes.
#pragma once

#include <string>

namespace trb {

// UI thread. Starts the pipe thread unless it has been started before in this process;
// returns without waiting for it to connect.
void StartPipeThread();

// UI thread. Sets the stop signal and returns once the pipe thread has ended (after its final
// report, if a controller was connected). Runs the pipe thread's queued UI calls meanwhile.
// Safe to call again, and when no thread was ever started.
void StopPipeThread();

// The value of the "named-pipe" switch (empty when absent or without a value). Set once on
// the UI thread before StartPipeThread.
void SetPipeSwitchValue(std::string value);

}  // namespace trb
