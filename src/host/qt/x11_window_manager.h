// The main window's dealings with an X11 window manager where the toolkit falls short: the
// order of a quick hide and show, the top band, and the state a hidden window is shown in.
// Outside X11 (Wayland, offscreen) every call returns at once and does nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "pipe/window_check.h"

namespace trb::host {

// How a wait for the window manager ended: it has handled every request the program had sent;
// it did not answer within the limit; or there is no manager that can be asked (none at all,
// one that does not offer _NET_REQUEST_FRAME_EXTENTS, or no X11), so nothing was waited for.
enum class ManagerWait { kHandled, kTimedOut, kCannotAsk };

// Returns once the window manager has handled every request the program has already sent, or
// after `limit_ms`. A manager that is still withdrawing a window from a quick hide wipes the
// states written on it for the next show, so a show waits for this first (ICCCM 4.1.4).
ManagerWait WaitForWindowManager(int limit_ms);

// What the X server says of a window now: whether the manager has it (WM_STATE normal or
// iconic), whether it is on the screen, its _NET_WM_STATE, and its rectangle in root
// coordinates, without the frame. Nothing outside X11, or when the window is gone.
std::optional<ObservedWindow> ReadServerWindow(std::uintptr_t window);

// Runs `change` with every map of `window` held back. The toolkit maps a window it has down as
// minimised at any change of its state, even while the window is hidden; for a hidden window
// that map is wrong, and a later show's map would then bring the window back from the taskbar.
void WithMapsHeld(std::uintptr_t window, const std::function<void()>& change);

// Sets the state the window manager gives `window` when it is next mapped: iconic (in the
// taskbar) or normal.
void SetInitialState(std::uintptr_t window, bool iconic);

// Puts `window` in or out of the band above other windows (_NET_WM_STATE_ABOVE): written on
// the window while it is withdrawn, where the manager reads it when it takes the window on,
// and asked of the manager while it has the window.
void SetAbove(std::uintptr_t window, bool above, bool managed);

// Whether the window manager has `window` maximised now, as the X server says (_NET_WM_STATE):
// the toolkit hears of a maximise or restore only a moment later, and a state change made from
// its older view would undo it. Nothing outside X11.
std::optional<bool> MaximizedNow(std::uintptr_t window);

// Asks the window manager to take `window`, which it has, out of its maximised state.
void AskUnmaximize(std::uintptr_t window);

// Asks the window manager to put `window`, which it has, at a rectangle (root coordinates,
// without the frame).
void AskMoveResize(std::uintptr_t window, const NormalRect& rect);

// Asks the window manager to minimise `window`, which it has (ICCCM WM_CHANGE_STATE).
void AskIconify(std::uintptr_t window);

// Asks the window manager to bring `window`, which it has, to the front, out of the taskbar.
void AskActivate(std::uintptr_t window);

// Withdraws `window` (ICCCM 4.1.4) without the toolkit: for a window the toolkit has hidden
// that the manager still shows.
void Withdraw(std::uintptr_t window);

}  // namespace trb::host
