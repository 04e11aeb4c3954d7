// SIGTERM, SIGINT and SIGHUP end the browser the orderly way (close sequence, exit code 0)
// instead of killing it mid-sentence on the pipe.
#pragma once

#include <functional>

namespace trb {

// UI thread, once the loop's application object exists. `on_signal` runs on the UI thread.
void InstallQuitSignals(std::function<void()> on_signal);

}  // namespace trb
