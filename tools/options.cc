#include "options.h"

#include <charconv>
#include <cmath>

namespace trbctl {

const char kUsage[] =
    R"(Usage: trbrowserctl [OPTIONS] [--] [BROWSER SWITCHES...]

Creates the controller socket, starts trbrowser connected to it, sends commands and prints
the browser's replies on stdout, one per line. Nothing but replies is written to stdout.

Options:
  --pipe NAME|PATH   socket to create: PATH when it begins with '/', else $TMPDIR/NAME
                     (/tmp/NAME without TMPDIR); default name "trbrowser"
  --browser PATH     browser to start; default: trbrowser next to this tool, else on PATH
  --no-launch        start nothing; wait for a browser started otherwise
  --timeout SECONDS  limit for each wait: the connection, each reply, --wait-url, the final
                     report and the browser's exit (default 30)
  -c CMD             send CMD (repeatable, in order; ";" separates several commands).
                     Without -c, commands are read from stdin, one per line
  --wait-url PREFIX  poll GETURL until the URL starts with PREFIX (runs in order with -c)
  -h, --help         this text
Everything after the options (or after "--") is passed to the browser, which is started as
  BROWSER --named-pipe=<socket path> [BROWSER SWITCHES...]

Replies: ISHIDDEN -> "ISHIDDEN 0|1", GETURL -> "GETURL <url>", a command the browser
refuses -> "ERROR Syntax Error: <command>", QUIT -> "GEOMETRY <top> <left> <bottom> <right>".
The session ends with QUIT, at the end of the commands (EOF on stdin), or on Ctrl-C/SIGTERM:
the tool then sends QUIT, prints the final report and waits for the browser to exit.

Exit status:
  0, 1  the browser's own exit code after the session (0 with --no-launch)
  2     bad command line
  3     the socket could not be set up (another controller is listening on it, ...)
  4     the browser could not be started, or exited before connecting
  5     no connection within the timeout
  6     connection lost (closed without the final report) or an unexpected reply
  7     reply timeout: an expected reply or the final report did not come
  8     --wait-url: the URL did not match within the timeout
  9     the browser did not exit after the session and was killed
  130   interrupted before the browser connected, or a second Ctrl-C
)";

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
