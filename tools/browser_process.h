// The browser process the tool starts: finding the executable, starting it detached from
// the terminal's Ctrl-C and from the tool's stdin/stdout, and collecting its exit.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace trbctl {

// trbrowser next to this tool's own executable when it is there, else "trbrowser" (PATH).
std::string DefaultBrowserPath();

class BrowserProcess {
 public:
  // Starts `program` (looked up on PATH when it has no '/') with `args`. Its stdout goes to
  // the tool's stderr, so the tool's stdout carries replies only; its stdin is /dev/null.
  // It gets a process group of its own, so that Ctrl-C reaches only the tool, which then
  // ends the session properly. False with `error` set when it cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& args, std::string& error);

  bool started() const { return pid_ > 0; }
  bool running() const { return pid_ > 0 && !exited_; }

  // Collects the exit if it happened; true once the process has exited.
  bool Poll();

  // Waits up to `seconds` for the exit (watching the signal pipe); true once exited.
  bool WaitExit(double seconds);

  void Kill(int signal_number);

  // The exit code, or 128 + the signal number for a killed process.
  int exit_code() const { return exit_code_; }
  std::string DescribeExit() const;

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int exit_code_ = 0;
};

}  // namespace trbctl
