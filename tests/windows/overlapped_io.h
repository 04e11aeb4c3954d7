// The server side of a named pipe for tests, with bounded waits so that a broken browser side
// fails a test instead of hanging it.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <string_view>

namespace trb::testing_support {

inline std::string PipePath(const std::string& name) { return "\\\\.\\pipe\\" + name; }

// A byte-mode overlapped server instance; every instance of a name needs the same maximum.
HANDLE NewServerInstance(const std::string& name, DWORD max_instances = PIPE_UNLIMITED_INSTANCES);
// Waits for a client on `instance` (one that came before the call counts too).
bool AcceptClient(HANDLE instance, std::chrono::milliseconds timeout);
bool WriteAll(HANDLE pipe, std::string_view bytes);
// Reads until `count` bytes have come, the client has closed (`closed`) or the time-out.
std::string ReadUpTo(HANDLE pipe, size_t count, std::chrono::milliseconds timeout,
                     bool* closed = nullptr);

}  // namespace trb::testing_support
