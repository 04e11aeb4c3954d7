// Which window system the browser runs on in the desktop session it was started from.
#pragma once

#include <string>

#include "app/command_line.h"

namespace trb {

// The session's variables that decide it; null or empty means unset.
struct SessionEnv {
  const char* qt_qpa_platform = nullptr;  // QT_QPA_PLATFORM
  const char* display = nullptr;          // DISPLAY: an X server (XWayland in a Wayland session)
  const char* wayland_display = nullptr;  // WAYLAND_DISPLAY
};

// The toolkit platform to ask for: "xcb" whenever there is an X server, even beside a Wayland
// compositor, because only there can a client place, raise, keep on top and minimise its own
// window; "wayland" when Wayland is all there is. Empty when the user chose one (-platform on
// the command line or QT_QPA_PLATFORM), which always wins, or when there is no display at all.
std::string ChoosePlatform(const CommandLine& cl, const SessionEnv& env);

// The command line with `platform` given to the toolkit, when it is not empty.
void ApplyPlatform(CommandLine& cl, const std::string& platform);

}  // namespace trb
