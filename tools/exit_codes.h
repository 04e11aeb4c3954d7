// The exit codes of trbrowserctl. Codes 0 and 1 are the browser's own (passed through after
// the session ends); the tool's failures use codes the browser never returns.
#pragma once

namespace trbctl {

enum ExitCode : int {
  kExitOk = 0,              // the session ended and the browser exited with 0
  kExitUsage = 2,           // bad command line
  kExitSocket = 3,          // the socket could not be set up (live socket in the way, ...)
  kExitBrowserStart = 4,    // the browser could not be started or exited before connecting
  kExitNoConnection = 5,    // nothing connected within the timeout
  kExitConnectionLost = 6,  // the connection ended without the final report, or garbage
  kExitReplyTimeout = 7,    // an expected reply (or the final report) did not come in time
  kExitWaitUrlTimeout = 8,  // --wait-url: the URL never matched within the timeout
  kExitBrowserStuck = 9,    // the browser did not exit after the session and was killed
  kExitInterrupted = 130,   // a second Ctrl-C, or one before the browser connected
};

}  // namespace trbctl
