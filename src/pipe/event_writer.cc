#include "pipe/event_writer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>
#include <utility>

#include "pipe/unix_socket_transport.h"

namespace trb {
namespace {

using Clock = std::chrono::steady_clock;

std::string JoinPaths(const std::vector<std::string>& paths) {
  std::string out;
  for (const std::string& path : paths) {
    if (!out.empty()) out += " or ";
    out += path;
  }
  return out;
}

void DrainEventFd(int fd) {
  uint64_t count;
  [[maybe_unused]] ssize_t n = read(fd, &count, sizeof count);
}

}  // namespace

EventWriter::EventWriter(std::vector<std::string> candidates)
    : EventWriter(std::move(candidates), Options{}) {}

EventWriter::EventWriter(std::vector<std::string> candidates, Options options)
    : candidates_(std::move(candidates)),
      options_(std::move(options)),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wake_fd_ < 0) {
    std::perror("trbrowser: cannot set up the events pipe (eventfd); running without events");
    Close();
    return;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    std::fprintf(stderr,
                 "trbrowser: cannot start the events thread (%s); running without events.\n",
                 e.what());
    Close();
  }
}

EventWriter::~EventWriter() {
  Stop();
  if (wake_fd_ >= 0) close(wake_fd_);
}

void EventWriter::Post(std::string line) {
  bool was_empty;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::kClosed) return;
    std::string notice;
    if (unreported_ > 0) notice = events::Dropped(unreported_);
    if (held_ > 0 && held_ + notice.size() + line.size() > options_.queue_bound) {
      ++unreported_;
      ++dropped_total_;
      return;
    }
    was_empty = queue_.empty();
    if (!notice.empty()) {
      held_ += notice.size();
      queue_.push_back(std::move(notice));
      unreported_ = 0;
    }
    held_ += line.size();
    queue_.push_back(std::move(line));
  }
  // The writer sleeps only with an empty queue, so only the first event needs to wake it.
  if (was_empty) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  }
}

void EventWriter::Stop() {
  stop_.Set();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  Close();
}

EventWriter::State EventWriter::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

uint64_t EventWriter::dropped_total() const {
  std::lock_guard lock(mutex_);
  return dropped_total_;
}

bool EventWriter::TakeQueued(std::string& out) {
  std::deque<std::string> taken;
  {
    std::lock_guard lock(mutex_);
    // Events were dropped and the reader has caught up since: say so now rather than only
    // in front of an event that may be long in coming.
    if (queue_.empty() && unreported_ > 0) {
      std::string notice = events::Dropped(unreported_);
      unreported_ = 0;
      held_ += notice.size();
      queue_.push_back(std::move(notice));
    }
    taken.swap(queue_);  // the copying below keeps no poster waiting
  }
  for (const std::string& line : taken) out += line;
  return !out.empty();
}

void EventWriter::Release(size_t bytes) {
  std::lock_guard lock(mutex_);
  held_ -= bytes;
}

void EventWriter::Close() {
  std::lock_guard lock(mutex_);
  state_ = State::kClosed;
  queue_.clear();
  held_ = 0;
}

EventWriter::WriteOutcome EventWriter::WriteSome(const std::string& out, size_t& sent) {
  while (sent < out.size()) {
    const ssize_t n = send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      Release(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return WriteOutcome::kFull;
    } else if (!(n < 0 && errno == EINTR)) {
      return WriteOutcome::kPeerGone;
    }
  }
  return WriteOutcome::kAll;
}

void EventWriter::Run() {
  ConnectFailure failure = ConnectFailure::kNoListener;
  fd_ = ConnectUnixSocketFd(candidates_, stop_, options_.connect, &failure);
  if (fd_ < 0) {
    if (failure == ConnectFailure::kNoListener) {
      std::fprintf(stderr,
                   "trbrowser: nothing listens on the events pipe %s; running without events. "
                   "Listen there before starting the browser.\n",
                   JoinPaths(candidates_).c_str());
    } else if (failure == ConnectFailure::kBusy) {
      std::fprintf(stderr, "trbrowser: the events pipe %s stayed busy; running without events.\n",
                   JoinPaths(candidates_).c_str());
    }
    Close();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::kConnecting) state_ = State::kConnected;
  }

  std::string out;  // events taken from the queue, written from `sent` on
  size_t sent = 0;
  bool reader_done_sending = false;  // the reader shut its side: POLLIN would never clear
  std::optional<Clock::time_point> give_up_at;
  for (;;) {
    if (sent == out.size()) {
      out.clear();
      sent = 0;
      TakeQueued(out);
    }
    const bool stopping = stop_.IsSet();
    if (stopping && out.empty()) break;  // everything is written
    if (stopping && !give_up_at) give_up_at = Clock::now() + options_.flush_grace;
    if (!out.empty()) {
      const WriteOutcome written = WriteSome(out, sent);
      if (written == WriteOutcome::kPeerGone) break;
      if (written == WriteOutcome::kAll) continue;
    }

    // Wait for room when the socket is full, else for the next event.
    int timeout = -1;
    if (give_up_at) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*give_up_at - Clock::now());
      if (left.count() <= 0) break;
      timeout = static_cast<int>(left.count()) + 1;
    }
    const short socket_events =
        static_cast<short>((reader_done_sending ? 0 : POLLIN) | (out.empty() ? 0 : POLLOUT));
    // Once stopped, the stop signal stays readable: the deadline paces the wait instead.
    pollfd fds[3] = {{fd_, socket_events, 0}, {wake_fd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    const int ready = poll(fds, stopping ? 2 : 3, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[1].revents & POLLIN) DrainEventFd(wake_fd_);
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) break;
    if (fds[0].revents & POLLIN) {
      // The reader has nothing to say on this channel; whatever it sends is dropped.
      char sink[512];
      const ssize_t n = recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0) reader_done_sending = true;
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) break;
    }
  }
  close(fd_);
  fd_ = -1;
  Close();
}

}  // namespace trb
