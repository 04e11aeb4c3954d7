// The server side of a named pipe for tests: bounded waits on overlapped calls, so that a
// broken browser side fails a test instead of hanging it.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <string_view>

namespace trb::testing_support {

inline std::string PipePath(const std::string& name) { return "\\\\.\\pipe\\" + name; }

// A byte-mode server instance of the pipe `name`, overlapped; INVALID_HANDLE_VALUE on
// failure. All instances of one name must be made with the same `max_instances`.
HANDLE NewServerInstance(const std::string& name, DWORD max_instances = PIPE_UNLIMITED_INSTANCES);

// Waits for a client on `instance` (one that connected before the call counts too).
bool AcceptClient(HANDLE instance, std::chrono::milliseconds timeout);

// Writes all of `bytes`. False when a write failed or did not finish within 20 s.
bool WriteAll(HANDLE pipe, std::string_view bytes);

// Reads until `count` bytes have come, the other side has closed (then `closed` is set when
// given), or the time-out.
std::string ReadUpTo(HANDLE pipe, size_t count, std::chrono::milliseconds timeout,
                     bool* closed = nullptr);

}  // namespace trb::testing_support
