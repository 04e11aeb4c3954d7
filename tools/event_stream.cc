#include "event_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "listener.h"

namespace trbctl {
namespace {

// A line longer than this is no event of the browser's: it is dropped, not kept growing.
constexpr size_t kMaxLine = size_t{64} << 20;

}  // namespace

EventStream::EventStream(int listen_fd, std::string path, std::FILE* print)
    : listen_fd_(listen_fd), path_(std::move(path)), print_(print) {}

EventStream::~EventStream() {
  CloseConnection();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
}

void EventStream::Service() {
  if (conn_fd_ >= 0) {
    Read();
  } else if (listen_fd_ >= 0) {
    Accept();
  }
}

void EventStream::ServicePending() {
  // Bounded: a listener that stays readable while accepting fails must not spin forever.
  for (int round = 0; round < 1024 && fd() >= 0; ++round) {
    pollfd waiting{fd(), POLLIN, 0};
    if (poll(&waiting, 1, 0) <= 0) return;
    Service();
  }
}

void EventStream::Accept() {
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (!PeerIsOwnUser(fd)) {
    std::fprintf(stderr, "trbrowserctl: refused an events connection from another user\n");
    close(fd);
    return;
  }
  // One connection per session, as for the commands: nobody else may connect.
  close(listen_fd_);
  listen_fd_ = -1;
  unlink(path_.c_str());
  conn_fd_ = fd;
  connected_ = true;
}

void EventStream::Read() {
  char chunk[65536];
  const ssize_t n = recv(conn_fd_, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    CloseConnection();
    return;
  }
  partial_.append(chunk, static_cast<size_t>(n));
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    OnLine(std::string_view(partial_).substr(start, end - start + 1));
  }
  partial_.erase(0, start);
  if (partial_.size() > kMaxLine) partial_.clear();
}

void EventStream::OnLine(std::string_view line) {
  if (print_ != nullptr) {
    std::fwrite(line.data(), 1, line.size(), print_);
    std::fflush(print_);
  }
  const nlohmann::json event = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!event.is_object()) return;
  const auto name = event.find("event");
  const auto url = event.find("url");
  if (name != event.end() && *name == "load" && url != event.end() && url->is_string()) {
    loads_.push_back(url->get<std::string>());
  }
}

bool EventStream::TakeLoad(std::string_view prefix) {
  const auto match = std::find_if(loads_.begin(), loads_.end(), [&](const std::string& url) {
    return url.compare(0, prefix.size(), prefix) == 0;
  });
  if (match == loads_.end()) return false;
  loads_.erase(loads_.begin(), match + 1);
  return true;
}

void EventStream::DrainUntilClosed(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  while (conn_fd_ >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    pollfd fds{conn_fd_, POLLIN, 0};
    const int ready = poll(&fds, 1, static_cast<int>(std::min<long long>(left, 60 * 1000)));
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0) Read();
  }
}

void EventStream::CloseConnection() {
  if (conn_fd_ < 0) return;
  // A line cut short by the browser's exit is no event.
  partial_.clear();
  close(conn_fd_);
  conn_fd_ = -1;
}

}  // namespace trbctl
