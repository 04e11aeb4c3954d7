#include "app/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace trb {
namespace {

int g_signal_fds[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  // Async-signal-safe; a full pipe already carries a wake-up.
  [[maybe_unused]] ssize_t n = write(g_signal_fds[0], &byte, 1);
}

}  // namespace

void CatchQuitSignals() {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signal_fds) != 0) {
    return;  // the signals keep their default action
  }
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

void WatchQuitSignals(std::function<void()> on_signal) {
  if (g_signal_fds[1] < 0) return;
  // A signal caught earlier left its byte in the socket, so the notifier fires as soon as
  // the loop runs.
  auto* notifier =
      new QSocketNotifier(g_signal_fds[1], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                   [on_signal = std::move(on_signal)] {
                     char buffer[64];
                     while (read(g_signal_fds[1], buffer, sizeof buffer) > 0) {
                     }
                     on_signal();
                   });
}

}  // namespace trb
