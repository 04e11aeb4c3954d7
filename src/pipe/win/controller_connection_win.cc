// The controller's pipe on Windows: the named pipe "\\.\pipe\" + the switch value.
#include "pipe/controller_connection.h"

#include "pipe/win/named_pipe_transport.h"

namespace trb {

std::unique_ptr<Transport> ConnectToController(const std::string& pipe_name, const StopSignal& stop,
                                               const ConnectOptions& options) {
  return ConnectNamedPipe(NamedPipePath(pipe_name), stop, options);
}

}  // namespace trb
