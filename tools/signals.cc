#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace trbctl {
namespace {

int g_pipe[2] = {-1, -1};
int g_interrupts = 0;
bool g_child = false;

extern "C" void OnSignal(int sig) {
  int saved = errno;
  char byte = sig == SIGCHLD ? 'c' : 'i';
  // A full pipe already holds a byte that wakes the reader; losing this one is harmless.
  [[maybe_unused]] ssize_t n = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool InstallSignalPipe() {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0 ||
      sigaction(SIGCHLD, &action, nullptr) != 0)
    return false;
  signal(SIGPIPE, SIG_IGN);
  return true;
}

int SignalFd() { return g_pipe[0]; }

void DrainSignals() {
  char bytes[64];
  ssize_t n;
  while ((n = read(g_pipe[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (bytes[i] == 'c')
        g_child = true;
      else
        ++g_interrupts;
    }
  }
}

int InterruptCount() { return g_interrupts; }

bool ChildSignalled() {
  bool was = g_child;
  g_child = false;
  return was;
}

}  // namespace trbctl
