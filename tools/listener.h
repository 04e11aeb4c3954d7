// The listening side of the controller socket: where it lives, taking the path over from a
// dead controller without ever stealing it from a live one, and the owner-only permissions.
#pragma once

#include <string>

namespace trbctl {

// The socket path for the --pipe value (empty: the default name): the value itself when it
// begins with '/', else the first place the browser looks, made absolute.
std::string SocketPathFor(const std::string& pipe);

enum class PathState {
  kFree,       // nothing there
  kStale,      // a socket nobody listens on (connect refused)
  kLive,       // a socket with a listener
  kNotSocket,  // something else: never removed
  kError,      // cannot tell (permissions, ...)
};
PathState ProbeSocketPath(const std::string& path);

// True when the peer of the connected socket `fd` runs as this user (or as root).
bool PeerIsOwnUser(int fd);

// Creates the listening socket at `path` with mode 0600, removing a stale socket first.
// Returns the descriptor, or -1 with `error` set to one line for stderr.
int ListenAt(const std::string& path, std::string& error);

}  // namespace trbctl
