#include "pipe/unix_socket_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace trb {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxDrainOnClose = size_t{1} << 20;

class UnixSocketTransport final : public Transport {
 public:
  UnixSocketTransport(int fd, const StopSignal& stop, const ConnectOptions& options)
      : fd_(fd), stop_(stop), stopped_write_grace_(options.stopped_write_grace) {}
  ~UnixSocketTransport() override {
    // Closing with unread bytes makes the kernel reset the connection, and the controller
    // then reads an error instead of a clean end after the report. Whatever it sent after
    // QUIT (or while the browser was closing) is read and dropped first, up to a bound, so a
    // controller still writing cannot hold up the close.
    char sink[4096];
    for (size_t drained = 0; drained < kMaxDrainOnClose;) {
      const ssize_t n = recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
      if (n <= 0 && !(n < 0 && errno == EINTR)) break;
      if (n > 0) drained += static_cast<size_t>(n);
    }
    close(fd_);
  }

  Wait WaitReadable() override {
    pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, -1) >= 0) break;
      if (errno != EINTR) return Wait::kClosed;
    }
    if (fds[0].revents != 0) return Wait::kStop;
    if (fds[1].revents & POLLNVAL) return Wait::kClosed;
    // POLLHUP and POLLERR with or without data: Read drains what is left, then reports.
    return Wait::kData;
  }

  std::optional<size_t> Read(char* buffer, size_t size) override {
    for (;;) {
      const ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) return static_cast<size_t>(n);
      if (n == 0) return std::nullopt;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return std::nullopt;
    }
  }

  bool MoreArrivesWithin(std::chrono::milliseconds wait) override {
    pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
    const auto deadline = Clock::now() + wait;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const int ready = poll(fds, 2, static_cast<int>(std::max<long long>(left.count(), 0)));
      if (ready >= 0) return ready > 0 && fds[0].revents == 0 && (fds[1].revents & POLLIN) != 0;
      if (errno != EINTR) return false;
    }
  }

  void Write(std::string_view bytes) override {
    // A reply given up half-way leaves the stream unusable, so later ones are not tried.
    while (!bytes.empty() && !broken_) {
      const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
      } else if (errno != EINTR && ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitWritable())) {
        broken_ = true;
      }
    }
  }

 private:
  // While the controller is not reading, a reply waits for room; only once the stop signal
  // is set is that wait bounded, so a stalled controller cannot hold up the browser's close.
  // False when the wait is given up (error, or the grace after the stop has run out).
  bool WaitWritable() {
    for (;;) {
      if (!stop_deadline_ && stop_.IsSet()) stop_deadline_ = Clock::now() + stopped_write_grace_;
      int timeout = -1;
      if (stop_deadline_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*stop_deadline_ - Clock::now());
        if (left.count() <= 0) return false;
        timeout = static_cast<int>(std::min<long long>(left.count() + 1, 60000));
      }
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {stop_.fd(), POLLIN, 0}};
      const int ready = poll(fds, stop_deadline_ ? 1 : 2, timeout);
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && fds[0].revents != 0) return (fds[0].revents & POLLOUT) != 0;
    }
  }

  const int fd_;
  const StopSignal& stop_;
  const std::chrono::milliseconds stopped_write_grace_;
  std::optional<Clock::time_point> stop_deadline_;
  bool broken_ = false;
};

enum class Attempt { kConnected, kAbsent, kBusy, kDead };

Attempt TryConnect(const std::string& path, int* out_fd) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return Attempt::kAbsent;
  std::memcpy(addr.sun_path, path.data(), path.size());

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Attempt::kDead;
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    *out_fd = fd;
    return Attempt::kConnected;
  }
  const int err = errno;
  close(fd);
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return Attempt::kAbsent;
    case EAGAIN:  // the listener's backlog is full
      return Attempt::kBusy;
    default:  // ECONNREFUSED: a socket file nobody listens on; EACCES, ...
      return Attempt::kDead;
  }
}

// True when the peer runs as this process's user or as root.
bool PeerIsTrusted(int fd, const std::string& path) {
  ucred cred{};
  socklen_t len = sizeof cred;
  const uid_t me = geteuid();
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    std::fprintf(stderr,
                 "trbrowser: cannot tell which user listens on %s (%s); not connecting to "
                 "it.\n",
                 path.c_str(), std::strerror(errno));
    return false;
  }
  if (cred.uid == me || cred.uid == 0) return true;
  std::fprintf(stderr,
               "trbrowser: the controller listening on %s runs as uid %u, not as this "
               "browser's uid %u; not connecting. Run both as the same user.\n",
               path.c_str(), static_cast<unsigned>(cred.uid), static_cast<unsigned>(me));
  return false;
}

}  // namespace

std::unique_ptr<Transport> MakeUnixSocketTransport(int fd, const StopSignal& stop,
                                                   const ConnectOptions& options) {
  return std::make_unique<UnixSocketTransport>(fd, stop, options);
}

int ConnectUnixSocketFd(const std::vector<std::string>& candidates, const StopSignal& stop,
                        const ConnectOptions& options, ConnectFailure* failure) {
  auto fail = [failure](ConnectFailure why) {
    if (failure != nullptr) *failure = why;
    return -1;
  };
  std::optional<Clock::time_point> busy_since;
  std::chrono::milliseconds pause{1};
  for (;;) {
    Attempt result = Attempt::kAbsent;
    int fd = -1;
    const std::string* path = nullptr;
    for (const std::string& candidate : candidates) {
      path = &candidate;
      result = TryConnect(candidate, &fd);
      // A socket file nobody listens on (left by a controller that died) does not hide a
      // live listener at the next candidate.
      if (result == Attempt::kConnected || result == Attempt::kBusy) break;
    }
    if (result == Attempt::kConnected) {
      if (PeerIsTrusted(fd, *path)) return fd;
      close(fd);
      return fail(ConnectFailure::kRefusedPeer);
    }
    if (result != Attempt::kBusy) return fail(ConnectFailure::kNoListener);

    // Busy: nothing tells a client when a slot frees, so retry after short, growing pauses
    // that the stop signal cuts short.
    if (options.on_busy) options.on_busy();
    const auto now = Clock::now();
    if (!busy_since) busy_since = now;
    if (now - *busy_since >= options.busy_timeout) return fail(ConnectFailure::kBusy);
    pollfd stop_fd{stop.fd(), POLLIN, 0};
    if (poll(&stop_fd, 1, static_cast<int>(pause.count())) > 0) {
      return fail(ConnectFailure::kStopped);
    }
    pause = std::min(pause * 2, std::chrono::milliseconds{50});
  }
}

std::unique_ptr<Transport> ConnectUnixSocket(const std::vector<std::string>& candidates,
                                             const StopSignal& stop,
                                             const ConnectOptions& options) {
  const int fd = ConnectUnixSocketFd(candidates, stop, options);
  return fd < 0 ? nullptr : MakeUnixSocketTransport(fd, stop, options);
}

}  // namespace trb
