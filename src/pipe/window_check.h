// What to ask of the window manager again once it has handled the window commands: the
// corrections that bring a window back to what the controller's last commands asked, from
// what the window system says of it now. A window manager may carry quick commands out in
// another order than they were made; the Qt window runs this after each command until nothing
// is left to correct.
#pragma once

#include <optional>

#include "pipe/window.h"

namespace trb {

// What the last commands asked of the window.
struct WantedWindow {
  bool visible = false;  // shown (the toolkit's own state, which ISHIDDEN answers)
  bool minimized = false;
  bool unmaximized = false;  // taken out of the maximised state (SHOW, GEOMETRY, NORESIZE)
  bool topmost = false;
  // Where a restored window on the screen is to be; nothing when no command chose a place or
  // the window manager has refused it often enough.
  std::optional<NormalRect> rect;
};

// What the window system says of the window.
struct ObservedWindow {
  bool managed = false;   // the window manager has it: on the screen or minimised
  bool viewable = false;  // on the screen
  bool iconic = false;    // minimised
  bool maximized = false;
  bool above = false;
  NormalRect rect;  // without the frame
};

struct WindowCorrections {
  bool withdraw = false;    // hidden by the program, still kept by the manager
  bool show_again = false;  // a show the manager lost: neither on the screen nor minimised
  bool iconify = false;
  bool activate = false;  // out of the taskbar, to the front
  bool unmaximize = false;
  bool band = false;   // the top band asked again, to match `topmost`
  bool place = false;  // moved and sized to the wanted rectangle
  // Nothing to ask now, but the window is not there yet: look again.
  bool look_again = false;
  bool any() const {
    return withdraw || show_again || iconify || activate || unmaximize || band || place ||
           look_again;
  }
};

WindowCorrections CorrectWindow(const WantedWindow& wanted, const ObservedWindow& observed);

}  // namespace trb
