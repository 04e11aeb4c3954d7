// Where the controller's socket for a pipe NAME lives. Shared by the browser and the
// controller tool, so it depends on nothing but the standard library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trb {

inline constexpr std::string_view kDefaultPipeName = "trbrowser";

// The socket paths to try, in order, for the "named-pipe" switch value `name`:
//  - an empty name stands for kDefaultPipeName;
//  - a name beginning with '/' is the socket path itself (the only candidate);
//  - otherwise DIR/NAME (where a QLocalServer named NAME listens), then DIR/CoreFxPipe_NAME
//    (where a .NET NamedPipeServerStream named NAME listens); DIR is `tmpdir` without
//    trailing slashes, or "/tmp" when `tmpdir` is null or empty.
std::vector<std::string> SocketPathCandidates(std::string_view name, const char* tmpdir);

// The same with the process's $TMPDIR.
std::vector<std::string> SocketPathCandidates(std::string_view name);

}  // namespace trb
