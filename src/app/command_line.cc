#include "app/command_line.h"

#include <cstdlib>
#include <string_view>

namespace trb {
namespace {

constexpr std::string_view kEngineArgsMarker = "--webEngineArgs";

// The browser's own switches as --help lists them, one line each. The manual page lists the
// same switches (from the README's table); the package tests check that the two agree.
struct SwitchHelp {
  std::string_view name;
  std::string_view text;
};
constexpr SwitchHelp kSwitchHelp[] = {
    {"--named-pipe=NAME", "the controller's socket: a path, or a name in $TMPDIR"},
    {"--use-views", "show the main window at once instead of starting hidden"},
    {"--url=VALUE", "accepted and ignored: the browser starts on its default page"},
    {"--restrict-popups", "every popup window obeys the main window's allow-list"},
    {"--events-pipe=NAME", "also push events (JSON lines) to this socket, same rules"},
    {"--reload-after-crash=SECONDS", "reload the page SECONDS after its renderer died"},
    {"--help", "print this help and exit"},
    {"--version", "print the version and exit"},
};

// Matches "--name" and "--name=value"; `value` gets the text after "=" (empty without one).
bool MatchSwitch(std::string_view arg, std::string_view name, std::string* value) {
  if (arg.size() < 2 + name.size() || arg.substr(0, 2) != "--") return false;
  if (arg.substr(2, name.size()) != name) return false;
  std::string_view rest = arg.substr(2 + name.size());
  if (rest.empty()) {
    value->clear();
    return true;
  }
  if (rest.front() != '=') return false;
  value->assign(rest.substr(1));
  return true;
}

// A day is more than any page needs to come back, and keeps the delay in every timer's range.
constexpr int kMaxReloadDelaySeconds = 86400;

std::optional<std::chrono::seconds> ParseSeconds(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > kMaxReloadDelaySeconds) return std::nullopt;
  return std::chrono::seconds(value);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& argv) {
  CommandLine cl;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    std::string value;
    if (i == 0) {
      cl.toolkit_args.push_back(arg);
    } else if (arg == kEngineArgsMarker) {
      continue;  // the marker is added again in front of the engine's switches
    } else if (MatchSwitch(arg, "help", &value) || arg == "-h") {
      cl.help = true;
    } else if (MatchSwitch(arg, "version", &value)) {
      cl.version = true;
    } else if (MatchSwitch(arg, "use-views", &value)) {
      cl.use_views = true;
    } else if (MatchSwitch(arg, "restrict-popups", &value)) {
      cl.restrict_popups = true;
    } else if (MatchSwitch(arg, "url", &value)) {
      cl.url = value;
    } else if (MatchSwitch(arg, "named-pipe", &value)) {
      cl.named_pipe = value;
    } else if (MatchSwitch(arg, "events-pipe", &value)) {
      cl.events_pipe = value.empty() ? std::string(kDefaultEventsPipeName) : value;
    } else if (MatchSwitch(arg, "reload-after-crash", &value)) {
      cl.reload_after_crash = ParseSeconds(value);
      if (!cl.reload_after_crash) {
        cl.error = "--reload-after-crash takes a whole number of seconds from 0 to " +
                   std::to_string(kMaxReloadDelaySeconds) + ", e.g. --reload-after-crash=5";
      }
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      cl.engine_args.push_back(arg);
    } else {
      cl.toolkit_args.push_back(arg);
    }
  }
  return cl;
}

std::string UsageText() {
  std::string text =
      "Usage: trbrowser [SWITCHES] [CHROMIUM SWITCHES]\n"
      "A single-window web browser that a controller program drives over a local socket.\n"
      "It starts hidden and connects to the controller; trbrowserctl(1) is a controller for\n"
      "shells and scripts.\n\n";
  for (const SwitchHelp& line : kSwitchHelp) {
    std::string name(line.name);
    // A long name gets a line of its own, its text below in the column.
    name = name.size() < 20 ? name + std::string(20 - name.size(), ' ')
                            : name + "\n" + std::string(22, ' ');
    text += "  " + name + std::string(line.text) + "\n";
  }
  text +=
      "Every other switch goes to Chromium, e.g. --no-sandbox (needed when run as root).\n\n"
      "Commands, socket, exit status, desktop sessions: man trbrowser\n";
  return text;
}

std::string VersionText() { return std::string("trbrowser ") + TRBROWSER_VERSION + "\n"; }

std::vector<std::string> ToolkitArgv(const CommandLine& cl) {
  std::vector<std::string> out = cl.toolkit_args;
  if (!cl.engine_args.empty()) {
    out.emplace_back(kEngineArgsMarker);
    out.insert(out.end(), cl.engine_args.begin(), cl.engine_args.end());
  }
  return out;
}

std::string PlatformName(const CommandLine& cl) {
  for (size_t i = 1; i + 1 < cl.toolkit_args.size(); ++i) {
    if (cl.toolkit_args[i] == "-platform") return cl.toolkit_args[i + 1];
  }
  const char* env = std::getenv("QT_QPA_PLATFORM");
  return env != nullptr ? env : "";
}

bool SandboxRefusesRoot(const CommandLine& cl, unsigned euid, const char* disable_sandbox_env,
                        const char* chromium_flags_env) {
  if (euid != 0) return false;
  for (const std::string& arg : cl.engine_args) {
    if (arg == "--no-sandbox") return false;
  }
  if (disable_sandbox_env != nullptr && *disable_sandbox_env != '\0' &&
      std::string_view(disable_sandbox_env) != "0") {
    return false;
  }
  if (chromium_flags_env != nullptr &&
      std::string_view(chromium_flags_env).find("--no-sandbox") != std::string_view::npos) {
    return false;
  }
  return true;
}

}  // namespace trb
