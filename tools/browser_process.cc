#include "browser_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "signals.h"

extern char** environ;

namespace trbctl {

std::string DefaultBrowserPath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + "trbrowser";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "trbrowser";
}

bool BrowserProcess::Start(const std::string& program, const std::vector<std::string>& args,
                           std::string& error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  // The tool blocks nothing, but the child must start with default signal dispositions.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = program.find('/') == std::string::npos
               ? posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ)
               : posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error = "cannot start the browser " + program + ": " + std::strerror(rc) +
            "; give its path with --browser";
    return false;
  }
  pid_ = pid;
  return true;
}

bool BrowserProcess::Poll() {
  if (pid_ <= 0) return false;
  if (exited_) return true;
  pid_t got = waitpid(pid_, &status_, WNOHANG);
  if (got != pid_) return false;
  exited_ = true;
  exit_code_ = WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  return true;
}

bool BrowserProcess::WaitExit(double seconds) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!Poll()) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    // SIGCHLD wakes this wait; the cap only bounds a missed wake-up.
    pollfd fd = {SignalFd(), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(std::min<long long>(left, 200)));
    DrainSignals();
  }
  return true;
}

void BrowserProcess::Kill(int signal_number) {
  if (running()) kill(pid_, signal_number);
}

std::string BrowserProcess::DescribeExit() const {
  if (WIFSIGNALED(status_))
    return std::string("was killed by signal ") + strsignal(WTERMSIG(status_));
  return "exited with code " + std::to_string(exit_code_);
}

}  // namespace trbctl
