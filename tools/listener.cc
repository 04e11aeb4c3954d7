#include "listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "pipe/socket_path.h"

namespace trbctl {
namespace {

bool FillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

}  // namespace

std::string SocketPathFor(const std::string& pipe) {
  std::string path = trb::SocketPathCandidates(pipe).front();
  if (!path.empty() && path.front() != '/') {
    // A relative TMPDIR: the browser may run elsewhere, so hand it an absolute path.
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  return path;
}

PathState ProbeSocketPath(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0)
    return errno == ENOENT ? PathState::kFree : PathState::kError;
  if (!S_ISSOCK(info.st_mode)) return PathState::kNotSocket;
  sockaddr_un address;
  if (!FillAddress(path, address)) return PathState::kError;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return PathState::kError;
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int err = errno;
  close(fd);
  if (rc == 0) return PathState::kLive;
  // A full backlog (EAGAIN) still means somebody listens.
  if (err == EAGAIN) return PathState::kLive;
  if (err == ECONNREFUSED) return PathState::kStale;
  return PathState::kError;
}

bool PeerIsOwnUser(int fd) {
  ucred peer = {};
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == getuid() || peer.uid == 0;
}

int ListenAt(const std::string& path, std::string& error) {
  sockaddr_un address;
  if (!FillAddress(path, address)) {
    error = "socket path too long (" + std::to_string(path.size()) + " bytes, at most " +
            std::to_string(sizeof address.sun_path - 1) + "): " + path +
            "; use a shorter --pipe path or TMPDIR";
    return -1;
  }
  switch (ProbeSocketPath(path)) {
    case PathState::kFree:
      break;
    case PathState::kStale:
      if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
        return -1;
      }
      break;
    case PathState::kLive:
      error = "another controller is listening on " + path +
              "; stop it or choose another name with --pipe";
      return -1;
    case PathState::kNotSocket:
      error = path + " exists and is not a socket; remove it or choose another --pipe";
      return -1;
    case PathState::kError:
      error = "cannot check the socket path " + path + ": " + std::strerror(errno);
      return -1;
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot create a socket: ") + std::strerror(errno);
    return -1;
  }
  // Owner-only from the first moment: the umask covers the window between bind and chmod.
  mode_t old_mask = umask(0177);
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int bind_errno = errno;
  umask(old_mask);
  if (rc != 0) {
    error = "cannot create the socket " + path + ": " + std::strerror(bind_errno);
    close(fd);
    return -1;
  }
  if (chmod(path.c_str(), 0600) != 0 || listen(fd, 4) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    close(fd);
    unlink(path.c_str());
    return -1;
  }
  return fd;
}

}  // namespace trbctl
