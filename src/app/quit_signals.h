// SIGTERM, SIGINT and SIGHUP end the browser the orderly way (close sequence, exit code 0)
// instead of killing it mid-sentence on the pipe.
#pragma once

#include <functional>

namespace trb {

// First thing in main, before the slow start of the toolkit and the engine: from here on
// these signals are caught and held until WatchQuitSignals hands them to the UI loop.
void CatchQuitSignals();

// UI thread, once the loop's application object exists. `on_signal` runs on the UI thread,
// at once for a signal that came before this call.
void WatchQuitSignals(std::function<void()> on_signal);

}  // namespace trb
