// Ctrl-C, SIGTERM and child exits turned into bytes on a pipe, so that every wait of the
// tool can watch them with poll() next to its sockets.
#pragma once

namespace trbctl {

// Installs the handlers (SIGINT, SIGTERM, SIGCHLD) and ignores SIGPIPE. False on failure.
bool InstallSignalPipe();

// The read end to poll for POLLIN.
int SignalFd();

// Reads what the handlers wrote and adds it to the counters below.
void DrainSignals();

int InterruptCount();   // SIGINT and SIGTERM seen so far
bool ChildSignalled();  // SIGCHLD seen since the last call (the flag is cleared)

}  // namespace trbctl
