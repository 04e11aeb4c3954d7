#include "app/command_line.h"

#include <string_view>

namespace trb {
namespace {

constexpr std::string_view kEngineArgsMarker = "--webEngineArgs";

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
    } else if (MatchSwitch(arg, "use-views", &value)) {
      cl.use_views = true;
    } else if (MatchSwitch(arg, "url", &value)) {
      cl.url = value;
    } else if (MatchSwitch(arg, "named-pipe", &value)) {
      cl.named_pipe = value;
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      cl.engine_args.push_back(arg);
    } else {
      cl.toolkit_args.push_back(arg);
    }
  }
  return cl;
}

std::vector<std::string> ToolkitArgv(const CommandLine& cl) {
  std::vector<std::string> out = cl.toolkit_args;
  if (!cl.engine_args.empty()) {
    out.emplace_back(kEngineArgsMarker);
    out.insert(out.end(), cl.engine_args.begin(), cl.engine_args.end());
  }
  return out;
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
