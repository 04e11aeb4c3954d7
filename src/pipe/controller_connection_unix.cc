// The controller's pipe on Linux: a Unix-domain socket found by the socket path rules.
#include "pipe/controller_connection.h"

#include "pipe/socket_path.h"
#include "pipe/unix_socket_transport.h"

namespace trb {

std::unique_ptr<Transport> ConnectToController(const std::string& pipe_name, const StopSignal& stop,
                                               const ConnectOptions& options) {
  return ConnectUnixSocket(SocketPathCandidates(pipe_name), stop, options);
}

}  // namespace trb
