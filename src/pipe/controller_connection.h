// How the pipe thread reaches the controller: the one platform seam of the connection. Each
// platform has its own definition of ConnectToController, chosen at build time.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "pipe/stop_signal.h"
#include "pipe/transport.h"

namespace trb {

struct ConnectOptions {
  // How long the controller's pipe may stay busy (a listener whose backlog is full, or every
  // instance of a named pipe taken) before the browser gives up; per wait on Windows.
  std::chrono::milliseconds busy_timeout{20000};
  // Once the stop signal is set, how long a reply may wait for the controller to make room
  // (Unix socket only; a Windows pipe write is one blocking call).
  std::chrono::milliseconds stopped_write_grace{2000};
  // Called each time an attempt finds the pipe busy (tests watch the retries with it).
  std::function<void()> on_busy;
};

// Connects to the controller's pipe for the "named-pipe" switch value `pipe_name` (empty for
// the default). Returns null, silently, when it cannot be reached.
std::unique_ptr<Transport> ConnectToController(const std::string& pipe_name, const StopSignal& stop,
                                               const ConnectOptions& options);

}  // namespace trb
