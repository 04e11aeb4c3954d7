#include "session.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <variant>

#include "exit_codes.h"
#include "signals.h"

namespace trbctl {
namespace {

constexpr double kKillGraceSeconds = 3;
constexpr std::chrono::milliseconds kWaitUrlInterval{100};

std::string NewNonce() {
  static std::random_device device;
  static std::mt19937_64 engine(
      (static_cast<uint64_t>(device()) << 32) ^ device() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(engine()));
  return text;
}

std::string FormatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

void Complain(const std::string& message) {
  std::fprintf(stderr, "trbrowserctl: %s\n", message.c_str());
}

}  // namespace

void PrintReply(std::string_view reply) {
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Printable(std::string_view text) {
  constexpr size_t kMax = 200;
  std::string out;
  for (unsigned char c : text.substr(0, kMax)) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > kMax) out += "...";
  return out;
}

Session::Session(const Options& options, BrowserProcess* browser, int fd, EventStream* events)
    : options_(options), browser_(browser), fd_(fd), events_(events) {}

Session::~Session() {
  if (fd_ >= 0) close(fd_);
}

Session::Clock::time_point Session::Deadline() const {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(options_.timeout_seconds));
}

int Session::Run() {
  for (const Step& step : options_.steps) {
    if (InterruptCount() > 0) return Quit();
    Result result;
    if (const auto* command = std::get_if<CommandStep>(&step)) {
      result = RunText(command->text);
    } else if (const auto* wait_url = std::get_if<WaitUrlStep>(&step)) {
      result = WaitUrl(wait_url->prefix);
    } else {
      result = WaitLoad(std::get<WaitLoadStep>(step).prefix);
    }
    if (result) return *result;
  }
  if (!options_.has_commands) {
    if (Result result = RunStdin()) return *result;
  }
  return Quit();
}

Session::Result Session::RunText(std::string_view text) {
  for (const std::string& piece : SplitInput(text)) {
    if (InterruptCount() > 0) return Quit();
    if (Result result = RunPiece(piece)) return result;
  }
  return std::nullopt;
}

Session::Result Session::RunPiece(std::string_view piece) {
  Plan plan = PlanPiece(piece, NewNonce());
  if (!Send(plan.wire)) return Finish(false);
  if (plan.kind == ReplyKind::kNone) return std::nullopt;
  if (plan.kind == ReplyKind::kFinalReport) return Finish(true);
  std::string reply;
  if (Result result = AwaitReply(plan, piece, reply)) return result;
  PrintReply(reply);
  return std::nullopt;
}

Session::Result Session::AwaitReply(const Plan& plan, std::string_view piece, std::string& reply) {
  Clock::time_point deadline = Deadline();
  while (true) {
    switch (buffer_.Take(plan, reply)) {
      case TakeStatus::kComplete:
        return std::nullopt;
      case TakeStatus::kMismatch:
        // The only reply that comes unasked: the browser's window was closed.
        if (buffer_.MayBeFinalReport()) return Finish(false);
        return Fail(kExitConnectionLost, "unexpected reply to \"" + Printable(piece) + "\": \"" +
                                             Printable(buffer_.pending()) + "\"");
      case TakeStatus::kIncomplete:
        break;
    }
    switch (ReadMore(deadline, 2)) {
      case ReadStatus::kData:
        break;
      case ReadStatus::kEof:
        return Finish(false);
      case ReadStatus::kTimeout:
        return Fail(kExitReplyTimeout, "no reply to \"" + Printable(piece) + "\" within " +
                                           FormatSeconds(options_.timeout_seconds) +
                                           "; raise --timeout if the browser is busy");
      case ReadStatus::kInterrupted:
        return Abort();
      case ReadStatus::kEvents:
        break;
    }
  }
}

Session::Result Session::WaitLoad(const std::string& prefix) {
  // Without events (a browser that has none, or they have ended) the URL is polled instead.
  if (events_ == nullptr || !events_->connected()) return WaitUrl(prefix);
  Clock::time_point deadline = Deadline();
  while (true) {
    if (events_->TakeLoad(prefix)) return std::nullopt;
    if (events_->ended()) return WaitUrl(prefix);
    if (InterruptCount() > 0) return Quit();
    if (Clock::now() >= deadline) {
      return WaitTimedOut("no page starting with \"" + Printable(prefix) +
                          "\" finished loading within " + FormatSeconds(options_.timeout_seconds));
    }
    if (Result result = PauseWaiting(deadline, /*until_events=*/true)) return result;
  }
}

Session::Result Session::WaitUrl(const std::string& prefix) {
  Clock::time_point deadline = Deadline();
  std::string last;
  while (true) {
    Plan plan = PlanPiece("GETURL", NewNonce());
    if (!Send(plan.wire)) return Finish(false);
    std::string reply;
    if (Result result = AwaitReply(plan, "GETURL", reply)) return result;
    last = reply.substr(std::string_view("GETURL ").size());
    if (last.compare(0, prefix.size(), prefix) == 0) return std::nullopt;
    if (InterruptCount() > 0) return Quit();
    if (Clock::now() >= deadline) {
      return WaitTimedOut("the URL did not start with \"" + Printable(prefix) + "\" within " +
                          FormatSeconds(options_.timeout_seconds) + " (last: \"" + Printable(last) +
                          "\")");
    }
    if (Result result = PauseWaiting(Clock::now() + kWaitUrlInterval, false)) return result;
  }
}

Session::Result Session::PauseWaiting(Clock::time_point until, bool until_events) {
  switch (ReadMore(until, 1, until_events)) {
    case ReadStatus::kTimeout:
    case ReadStatus::kEvents:
      return std::nullopt;
    case ReadStatus::kInterrupted:
      return Quit();
    case ReadStatus::kData:
    case ReadStatus::kEof:
      break;
  }
  return Finish(false);  // nothing was asked: the browser is closing
}

int Session::WaitTimedOut(const std::string& message) {
  Complain(message);
  int code = Quit();
  return code == kExitOk ? kExitWaitUrlTimeout : code;
}

Session::Result Session::RunStdin() {
  std::string lines;
  bool eof = false;
  while (true) {
    size_t end;
    while ((end = lines.find('\n')) != std::string::npos || (eof && !lines.empty())) {
      std::string line = lines.substr(0, end);
      lines.erase(0, end == std::string::npos ? lines.size() : end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;  // blank lines are no commands
      if (line.find('\0') != std::string::npos) {
        Complain("skipped a line with a zero byte: the browser would cut it there");
        continue;
      }
      if (Result result = RunText(line)) return result;
      if (InterruptCount() > 0) return Quit();
    }
    if (eof) return std::nullopt;

    pollfd fds[4] = {{STDIN_FILENO, POLLIN, 0},
                     {fd_, POLLIN, 0},
                     {SignalFd(), POLLIN, 0},
                     {events_ != nullptr ? events_->fd() : -1, POLLIN, 0}};
    if (poll(fds, 4, -1) < 0 && errno != EINTR) return Fail(kExitConnectionLost, "poll failed");
    DrainSignals();
    if (fds[3].revents != 0) events_->Service();
    if (InterruptCount() > 0) return Quit();
    if (fds[1].revents != 0) return Finish(false);  // unasked bytes or a closed connection
    if (fds[0].revents != 0) {
      char chunk[4096];
      ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n > 0)
        lines.append(chunk, static_cast<size_t>(n));
      else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        eof = true;
    }
  }
}

int Session::Quit() {
  if (!Send("QUIT;")) return Finish(false);
  return Finish(true);
}

int Session::Finish(bool quit_sent) {
  Clock::time_point deadline = Deadline();
  while (true) {
    switch (ReadMore(deadline, 2)) {
      case ReadStatus::kData:
        continue;
      case ReadStatus::kEof:
        break;
      case ReadStatus::kTimeout:
        return Fail(kExitReplyTimeout, std::string("no final report within ") +
                                           FormatSeconds(options_.timeout_seconds) +
                                           (quit_sent ? " after QUIT" : ""));
      case ReadStatus::kInterrupted:
        return Abort();
      case ReadStatus::kEvents:
        continue;
    }
    break;
  }
  std::string pending = buffer_.pending();
  std::optional<std::string> report = buffer_.TakeFinalReport();
  if (!report) {
    std::string detail = pending.empty() ? "" : " (received \"" + Printable(pending) + "\")";
    return Fail(kExitConnectionLost,
                "the browser closed the connection without the final report" + detail);
  }
  PrintReply(*report);
  return EndBrowser();
}

int Session::EndBrowser() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  // The browser's last events (its window going, ...) are written as it exits.
  auto drain_events = [this](double seconds) {
    if (events_ != nullptr) {
      events_->DrainUntilClosed(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds)));
    }
  };
  if (browser_ == nullptr) {
    drain_events(std::min(options_.timeout_seconds, kKillGraceSeconds));
    return kExitOk;
  }
  if (browser_->WaitExit(options_.timeout_seconds)) {
    drain_events(kKillGraceSeconds);
    return browser_->exit_code();
  }
  Complain("the browser did not exit within " + FormatSeconds(options_.timeout_seconds) +
           " after the session; killing it");
  browser_->Kill(SIGTERM);
  if (!browser_->WaitExit(kKillGraceSeconds)) {
    browser_->Kill(SIGKILL);
    browser_->WaitExit(kKillGraceSeconds);
  }
  return kExitBrowserStuck;
}

int Session::Fail(int code, const std::string& message) {
  Complain(message);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  // The browser closes itself when it loses the connection; give it a moment to do so.
  if (browser_ != nullptr && !browser_->WaitExit(kKillGraceSeconds)) {
    browser_->Kill(SIGTERM);
    if (!browser_->WaitExit(kKillGraceSeconds)) browser_->Kill(SIGKILL);
    browser_->WaitExit(kKillGraceSeconds);
  }
  return code;
}

int Session::Abort() {
  Complain("interrupted again; killing the browser");
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (browser_ != nullptr) {
    browser_->Kill(SIGKILL);
    browser_->WaitExit(kKillGraceSeconds);
  }
  return kExitInterrupted;
}

bool Session::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

Session::ReadStatus Session::ReadMore(Clock::time_point deadline, int abort_at, bool until_events) {
  while (true) {
    if (InterruptCount() >= abort_at) return ReadStatus::kInterrupted;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ReadStatus::kTimeout;
    pollfd fds[3] = {
        {fd_, POLLIN, 0}, {SignalFd(), POLLIN, 0}, {events_ ? events_->fd() : -1, POLLIN, 0}};
    int ready = poll(fds, 3, static_cast<int>(std::min<long long>(left, 1000 * 60)));
    if (ready < 0 && errno != EINTR) return ReadStatus::kEof;
    DrainSignals();
    if (ready > 0 && fds[2].revents != 0) {
      events_->Service();
      if (until_events) return ReadStatus::kEvents;
    }
    if (ready <= 0 || fds[0].revents == 0) continue;
    char chunk[4096];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return ReadStatus::kEof;
    buffer_.Append(std::string_view(chunk, static_cast<size_t>(n)));
    return ReadStatus::kData;
  }
}

}  // namespace trbctl
