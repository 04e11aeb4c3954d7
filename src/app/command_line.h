// The process's command line: the browser's own switches, and everything else, which goes to
// the toolkit (single-dash options such as -platform) or to the engine (every other "--"
// switch, e.g. --no-sandbox).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace trb {

struct CommandLine {
  bool help = false;     // --help: print the usage and start nothing
  bool version = false;  // --version: print the version and start nothing
  bool use_views = false;
  bool restrict_popups = false;            // --restrict-popups: popups obey the main allow-list
  std::string url;                         // value of --url (read, never decides what is shown)
  std::string named_pipe;                  // value of --named-pipe, empty when absent
  std::optional<std::string> events_pipe;  // value of --events-pipe, absent without it
  // --reload-after-crash=SECONDS: reload the page that long after its renderer died.
  std::optional<std::chrono::seconds> reload_after_crash;
  std::string error;  // what is wrong with a switch of ours; empty when nothing is
  std::vector<std::string> toolkit_args;  // argv[0] and the toolkit's own arguments
  std::vector<std::string> engine_args;   // switches for the engine
};

// The name the events pipe takes when --events-pipe is given without a value.
inline constexpr const char* kDefaultEventsPipeName = "trbrowser-events";

CommandLine ParseCommandLine(const std::vector<std::string>& argv);

// What --help and --version print.
std::string UsageText();
std::string VersionText();

// The argument vector for the toolkit: its own arguments, then the engine's after the marker
// the engine looks for.
std::vector<std::string> ToolkitArgv(const CommandLine& cl);

// The toolkit's platform: the value of -platform, else of QT_QPA_PLATFORM, else empty (the
// toolkit's own default).
std::string PlatformName(const CommandLine& cl);

// Chromium refuses to run as root with its sandbox on. True when that would happen, so the
// program can say so instead of failing obscurely.
bool SandboxRefusesRoot(const CommandLine& cl, unsigned euid, const char* disable_sandbox_env,
                        const char* chromium_flags_env);

}  // namespace trb
