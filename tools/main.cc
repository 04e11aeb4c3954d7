// trbrowserctl: the controller side of trbrowser's pipe, for scripts and people. Sets up the
// socket, starts the browser, waits for it to connect and hands over to the session.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "browser_process.h"
#include "event_stream.h"
#include "exit_codes.h"
#include "listener.h"
#include "options.h"
#include "session.h"
#include "signals.h"

namespace trbctl {
namespace {

void Complain(const std::string& message) {
  std::fprintf(stderr, "trbrowserctl: %s\n", message.c_str());
}

// Waits for the browser to connect. Returns the connection, or -1 with `code` set.
int AcceptConnection(int listen_fd, const std::string& path, const Options& options,
                     BrowserProcess* browser, int& code) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options.timeout_seconds));
  while (true) {
    DrainSignals();
    if (InterruptCount() > 0) {
      Complain("interrupted while waiting for the browser to connect");
      code = kExitInterrupted;
      return -1;
    }
    if (browser != nullptr && browser->Poll()) {
      Complain("the browser " + browser->DescribeExit() +
               " before connecting (its messages, if any, are above)");
      code = kExitBrowserStart;
      return -1;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      std::string hint = browser != nullptr
                             ? "; is the browser built with the pipe, or slow to start? "
                               "(raise --timeout)"
                             : "; start the browser with --named-pipe=" + path;
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", options.timeout_seconds);
      Complain(std::string("no browser connected to ") + path + " within " + seconds + " s" + hint);
      code = kExitNoConnection;
      return -1;
    }
    pollfd fds[2] = {{listen_fd, POLLIN, 0}, {SignalFd(), POLLIN, 0}};
    poll(fds, 2, static_cast<int>(std::min<long long>(left, 60 * 1000)));
    if (fds[0].revents == 0) continue;
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (PeerIsOwnUser(fd)) return fd;
    Complain("refused a connection from another user");
    close(fd);
  }
}

void StopBrowser(BrowserProcess& browser) {
  if (!browser.running()) return;
  browser.Kill(SIGTERM);
  if (!browser.WaitExit(3)) {
    browser.Kill(SIGKILL);
    browser.WaitExit(3);
  }
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto parsed = ParseOptions(args);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    Complain(*error);
    return kExitUsage;
  }
  const Options& options = std::get<Options>(parsed);
  if (options.help || options.version) {
    std::fputs(options.help ? kUsage : kVersion, stdout);
    return kExitOk;
  }
  if (!InstallSignalPipe()) {
    Complain(std::string("cannot install signal handlers: ") + std::strerror(errno));
    return kExitSocket;
  }

  std::string path = SocketPathFor(options.pipe);
  std::string error;
  int listen_fd = ListenAt(path, error);
  if (listen_fd < 0) {
    Complain(error);
    return kExitSocket;
  }

  // The events socket, beside the command socket, when the session needs the events.
  std::unique_ptr<EventStream> events;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> events_file(nullptr, &std::fclose);
  const std::string events_path = path + "-events";
  if (options.wants_events()) {
    if (!options.events_file.empty()) {
      events_file.reset(std::fopen(options.events_file.c_str(), "w"));
      if (!events_file) {
        Complain("cannot write the events to " + options.events_file + ": " + std::strerror(errno));
        close(listen_fd);
        unlink(path.c_str());
        return kExitUsage;
      }
    }
    const int events_fd = ListenAt(events_path, error);
    if (events_fd < 0) {
      Complain(error);
      close(listen_fd);
      unlink(path.c_str());
      return kExitSocket;
    }
    std::FILE* print = !options.print_events ? nullptr : events_file ? events_file.get() : stderr;
    events = std::make_unique<EventStream>(events_fd, events_path, print);
  }

  BrowserProcess browser;
  if (!options.no_launch) {
    std::vector<std::string> browser_args = {"--named-pipe=" + path};
    if (events) browser_args.push_back("--events-pipe=" + events_path);
    browser_args.insert(browser_args.end(), options.browser_switches.begin(),
                        options.browser_switches.end());
    std::string program = options.browser.empty() ? DefaultBrowserPath() : options.browser;
    if (!browser.Start(program, browser_args, error)) {
      Complain(error);
      close(listen_fd);
      unlink(path.c_str());
      return kExitBrowserStart;
    }
  } else if (!options.browser_switches.empty()) {
    Complain("ignoring the browser switches: --no-launch starts no browser");
  }

  int code = kExitOk;
  BrowserProcess* launched = options.no_launch ? nullptr : &browser;
  int fd = AcceptConnection(listen_fd, path, options, launched, code);
  // One connection per session: nobody else may connect, and no socket file stays behind.
  close(listen_fd);
  unlink(path.c_str());
  if (fd < 0) {
    StopBrowser(browser);
    return code;
  }
  if (events) {
    // A browser with events has connected them by now (it does so before its commands).
    events->ServicePending();
    if (!events->connected() && options.print_events) {
      Complain("the browser did not connect to the events socket " + events_path +
               (options.no_launch ? " (start it with --events-pipe=" + events_path + ")" : "") +
               "; no events so far");
    }
  }
  Session session(options, launched, fd, events.get());
  return session.Run();
}

}  // namespace
}  // namespace trbctl

int main(int argc, char** argv) { return trbctl::Main(argc, argv); }
