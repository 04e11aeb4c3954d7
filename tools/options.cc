#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace trbctl {

const char kUsage[] =
    R"(Usage: trbrowserctl [OPTIONS] [--] [BROWSER SWITCHES...]
Creates the controller socket, starts trbrowser connected to it, sends commands and prints
the browser's replies on stdout, one per line. Without -c, commands come from stdin.

  --pipe NAME|PATH   socket to create: PATH when it begins with '/', else $TMPDIR/NAME
  --browser PATH     browser to start (default: trbrowser beside this tool, else on PATH)
  --no-launch        start nothing; wait for a browser started otherwise
  --timeout SECONDS  limit for each wait (default 30)
  -c CMD             send CMD (repeatable, in order; ';' separates several commands)
  --wait-url PREFIX  poll GETURL until the URL starts with PREFIX
  --wait-load PREFIX wait for the browser's load event of a URL starting with PREFIX
  --events[=FILE]    print the browser's events (JSON lines) on stderr, or in FILE
  -h, --help         print this help and exit
  --version          print the version and exit
Everything after the options (or after "--") is passed to the browser.

Replies, exit status and examples: man trbrowserctl
)";

const char kVersion[] = "trbrowserctl " TRBROWSER_VERSION "\n";

namespace {

bool ParseSeconds(const std::string& text, double& out) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (!std::isfinite(value) || value <= 0 || value > 86400) return false;
  out = value;
  return true;
}

}  // namespace

bool Options::wants_events() const {
  if (print_events) return true;
  return std::any_of(steps.begin(), steps.end(),
                     [](const Step& step) { return std::holds_alternative<WaitLoadStep>(step); });
}

std::variant<Options, std::string> ParseOptions(const std::vector<std::string>& args) {
  Options options;
  size_t i = 0;
  // An option's value: "--name VALUE" or "--name=VALUE".
  auto value_of = [&](const std::string& name, std::string& value) -> int {
    const std::string& arg = args[i];
    if (arg == name) {
      if (i + 1 >= args.size()) return -1;
      value = args[++i];
      return 1;
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
        arg[name.size()] == '=') {
      value = arg.substr(name.size() + 1);
      return 1;
    }
    return 0;
  };

  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    int got = 0;
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--no-launch") {
      options.no_launch = true;
    } else if ((got = value_of("--pipe", value)) != 0) {
      if (got < 0) return "--pipe needs a name or a path";
      if (value.empty()) return "--pipe needs a non-empty name or path";
      options.pipe = value;
    } else if ((got = value_of("--browser", value)) != 0) {
      if (got < 0 || value.empty()) return "--browser needs a path";
      options.browser = value;
    } else if ((got = value_of("--timeout", value)) != 0) {
      if (got < 0 || !ParseSeconds(value, options.timeout_seconds))
        return "--timeout needs a number of seconds greater than 0";
    } else if ((got = value_of("--wait-url", value)) != 0) {
      if (got < 0) return "--wait-url needs a URL prefix";
      options.steps.push_back(WaitUrlStep{value});
    } else if ((got = value_of("--wait-load", value)) != 0) {
      if (got < 0) return "--wait-load needs a URL prefix";
      options.steps.push_back(WaitLoadStep{value});
    } else if (arg == "--events") {
      options.print_events = true;
      options.events_file.clear();
    } else if (arg.rfind("--events=", 0) == 0) {
      options.print_events = true;
      options.events_file = arg.substr(std::string_view("--events=").size());
      if (options.events_file.empty()) return "--events= needs a file name (or use --events)";
    } else if ((got = value_of("-c", value)) != 0 || (got = value_of("--command", value)) != 0) {
      if (got < 0) return "-c needs a command";
      options.steps.push_back(CommandStep{value});
      options.has_commands = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      return "unknown option " + arg + " (see --help)";
    } else {
      break;  // the first browser switch
    }
  }
  options.browser_switches.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return options;
}

}  // namespace trbctl
