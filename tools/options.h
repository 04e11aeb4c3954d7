// trbrowserctl's command line: the tool's own options, the ordered steps (commands and URL
// waits) and the switches handed to the browser.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace trbctl {

// One step of the scripted part of a session, in command-line order.
struct CommandStep {
  std::string text;  // as given to -c; may hold several commands separated by ";"
};
struct WaitUrlStep {
  std::string prefix;
};
struct WaitLoadStep {
  std::string prefix;
};
using Step = std::variant<CommandStep, WaitUrlStep, WaitLoadStep>;

struct Options {
  std::string pipe;     // --pipe; empty means the default name
  std::string browser;  // --browser; empty means next to this tool, else on PATH
  bool no_launch = false;
  double timeout_seconds = 30;
  std::vector<Step> steps;
  bool has_commands = false;  // any -c given: stdin is not read
  bool print_events = false;  // --events: each event on stderr, or in events_file
  std::string events_file;
  std::vector<std::string> browser_switches;
  bool help = false;
  bool version = false;

  // The session needs the browser's events: printed, or waited for.
  bool wants_events() const;
};

// Parses argv (without argv[0]). On failure returns the message for stderr.
std::variant<Options, std::string> ParseOptions(const std::vector<std::string>& args);

extern const char kUsage[];
extern const char kVersion[];

}  // namespace trbctl
