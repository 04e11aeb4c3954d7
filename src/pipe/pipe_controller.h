// The pipe thread's body: connects to the controller, reads its commands, carries them out on
// the main browser through g_main_handler, answers, and ends the connection.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "pipe/controller_connection.h"
#include "pipe/framing.h"
#include "pipe/stop_signal.h"
#include "pipe/target.h"
#include "pipe/transport.h"

namespace trb {

class PipeController {
 public:
  // `pipe_name` is the "named-pipe" switch value (see SocketPathCandidates).
  explicit PipeController(std::string pipe_name, ConnectOptions options = {});

  // Connects, serves until the stop signal, QUIT or the loss of the connection, and
  // returns. Without a reachable controller it returns at once and touches nothing.
  void Run(const StopSignal& stop);

  // Serves an open connection: everything Run does after connecting.
  void Serve(Transport& transport, const StopSignal& stop);

  // Parses and carries out one command piece, writing its reply if it has one. False when
  // the connection is to end (QUIT).
  bool HandleCommand(std::string_view piece);

  // Writes one reply as one write; nothing when there is no connection.
  void WriteReply(std::string_view text);

  // Writes the final "GEOMETRY ..." report of the target window; nothing without a window.
  void ReportGeometry();

  // The main browser and its window, as g_main_handler gives them; empty without a handler.
  Target ResolveTarget();

 private:
  // How long a command that has filled a read may take to send its next bytes.
  static constexpr std::chrono::milliseconds kCommandGrace{100};

  // Whether the unfinished end of the read `got` is a command still on its way (or, once the
  // browser is stopping, one that will never be completed and so must not be handled).
  // `after_full_read` tells whether the read before `got` filled the buffer.
  static bool MoreMayFollow(Transport& transport, const StopSignal& stop, const Framer& framer,
                            std::string_view got, bool after_full_read);
  // The controller has gone: the browser closes for good, whatever hide-on-close said.
  void ForceClose();

  const std::string pipe_name_;
  const ConnectOptions options_;
  Transport* transport_ = nullptr;
};

}  // namespace trb
