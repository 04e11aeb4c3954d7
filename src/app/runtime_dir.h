// A runtime directory for sessions that have none. The toolkit and the engine keep sockets and
// locks in $XDG_RUNTIME_DIR and complain on stderr without one, as a desktop program should
// not: such a session gets a private directory of the browser's own instead.
#pragma once

#include <string>

namespace trb {

// The private runtime directory under `base` for the user `uid`: base/trbrowser-runtime-<uid>
// when that is, or can be made, a real directory (not a symlink) owned by `uid` and closed to
// everybody else (mode 0700); otherwise, as when another user planted something under that
// name, a fresh directory made by mkdtemp beside it. Empty, with `error` set, when neither can
// be had.
std::string PrivateRuntimeDir(const std::string& base, unsigned uid, std::string* error);

// When XDG_RUNTIME_DIR is unset or empty, sets it to PrivateRuntimeDir under $TMPDIR (/tmp
// without it). Prints one line on stderr when that fails; the browser still runs.
void EnsureRuntimeDir();

}  // namespace trb
