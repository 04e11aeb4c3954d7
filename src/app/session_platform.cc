#include "app/session_platform.h"

namespace trb {
namespace {

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

std::string ChoosePlatform(const CommandLine& cl, const SessionEnv& env) {
  for (size_t i = 1; i < cl.toolkit_args.size(); ++i) {
    if (cl.toolkit_args[i] == "-platform") return "";
  }
  if (Set(env.qt_qpa_platform)) return "";
  if (Set(env.display)) return "xcb";
  if (Set(env.wayland_display)) return "wayland";
  return "";
}

void ApplyPlatform(CommandLine& cl, const std::string& platform) {
  if (platform.empty()) return;
  // Right behind argv[0]: a user's own toolkit arguments keep their places after it.
  auto at = cl.toolkit_args.empty() ? cl.toolkit_args.end() : cl.toolkit_args.begin() + 1;
  cl.toolkit_args.insert(at, {"-platform", platform});
}

}  // namespace trb
