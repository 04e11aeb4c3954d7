// What the window manager must have done before a hidden X11 window is shown again. Outside
// X11 (Wayland, offscreen) every call returns at once and does nothing.
#pragma once

#include <cstdint>

namespace trb::host {

// Returns once the window manager has handled every request already sent about `window`, or
// after `limit_ms`. A manager that is still withdrawing a window from a quick hide wipes the
// states written on it for the next show, so a show waits for this first (ICCCM 4.1.4).
void WaitForWindowManager(std::uintptr_t window, int limit_ms);

// Withdraws `window` as a hide does (ICCCM 4.1.4): for a window that the toolkit has mapped
// behind the program's back.
void Withdraw(std::uintptr_t window);

// Sets the state the window manager gives `window` when it is next mapped: iconic (in the
// taskbar) or normal.
void SetInitialState(std::uintptr_t window, bool iconic);

// Puts `window` in or out of the band above other windows (_NET_WM_STATE_ABOVE): written on
// the window while it is withdrawn, where the manager reads it when it takes the window on,
// and asked of the manager while it has the window.
void SetAbove(std::uintptr_t window, bool above, bool managed);

}  // namespace trb::host
