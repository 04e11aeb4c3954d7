// The controller's Unix-domain stream socket, client side: finding and connecting to the
// listener (waiting while it is busy), checking who it is, and the byte stream itself.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pipe/controller_connection.h"
#include "pipe/stop_signal.h"
#include "pipe/transport.h"

namespace trb {

// Connects to the first candidate path that exists. Returns null, silently, when none has a
// listener, when the listener stays busy for options.busy_timeout, or when the stop signal is
// set while waiting. A listener of another user (root excepted) is refused with one line on
// stderr and counts as unreachable.
std::unique_ptr<Transport> ConnectUnixSocket(const std::vector<std::string>& candidates,
                                             const StopSignal& stop,
                                             const ConnectOptions& options = {});

// Why ConnectUnixSocketFd made no connection.
enum class ConnectFailure {
  kNoListener,   // no candidate has a listener
  kBusy,         // the listener stayed busy for options.busy_timeout
  kRefusedPeer,  // the listener runs as another user (already said on stderr)
  kStopped,      // the stop signal was set while waiting
};

// What ConnectUnixSocket does, for a caller that drives the socket itself: the connected
// socket (non-blocking, close-on-exec), or -1 with `failure` set.
int ConnectUnixSocketFd(const std::vector<std::string>& candidates, const StopSignal& stop,
                        const ConnectOptions& options = {}, ConnectFailure* failure = nullptr);

// A transport over an already connected stream socket `fd` (taken over and closed by it).
std::unique_ptr<Transport> MakeUnixSocketTransport(int fd, const StopSignal& stop,
                                                   const ConnectOptions& options = {});

}  // namespace trb
