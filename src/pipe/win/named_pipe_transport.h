// The controller's Windows named pipe, client side: the pipe's path, connecting (waiting while
// every instance is busy) and the byte stream, polled with PeekNamedPipe.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "pipe/controller_connection.h"
#include "pipe/stop_signal.h"
#include "pipe/transport.h"

namespace trb {

inline constexpr char kPipePathPrefix[] = "\\\\.\\pipe\\";
inline constexpr char kDefaultPipePath[] = "\\\\.\\pipe\\trbrowser";

// How long one cycle of the read loop waits for the stop signal before peeking again.
inline constexpr DWORD kStopWaitMillis = 10;

// The pipe path for the "named-pipe" switch value: the default path for an empty value,
// otherwise the prefix followed by the value unchanged (a value that already is a full path
// gets the prefix a second time; the value is used as 8-bit text as it is).
std::string NamedPipePath(std::string_view switch_value);

// Opens `path` for reading and writing, exclusively, without overlapped I/O. While every
// instance is busy it waits up to options.busy_timeout for one to free, and tries again for
// as long as those waits succeed. Any other failure, or a failed wait, gives up silently
// with null. The stop signal is not looked at here, only once connected.
std::unique_ptr<Transport> ConnectNamedPipe(const std::string& path, const StopSignal& stop,
                                            const ConnectOptions& options = {});

// A transport over an open pipe handle (taken over and closed by it, exactly once).
std::unique_ptr<Transport> MakeNamedPipeTransport(HANDLE pipe, const StopSignal& stop);

}  // namespace trb
