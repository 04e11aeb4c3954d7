// What the window manager must have done before a hidden X11 window is shown again. Outside
// X11 (Wayland, offscreen) every call returns at once and does nothing.
#pragma once

#include <cstdint>

namespace trb::host {

// Returns once the window manager has handled every request already sent about `window`, or
// after `limit_ms`. A manager that is still withdrawing a window from a quick hide wipes the
// states written on it for the next show, so a show waits for this first (ICCCM 4.1.4).
void WaitForWindowManager(std::uintptr_t window, int limit_ms);

// Sets the state the window manager gives `window` when it is next mapped: iconic (in the
// taskbar) or normal.
void SetInitialState(std::uintptr_t window, bool iconic);

}  // namespace trb::host
