#include "pipe/window_check.h"

namespace trb {

WindowCorrections CorrectWindow(const WantedWindow& wanted, const ObservedWindow& observed) {
  WindowCorrections fix;
  if (!wanted.visible) {
    fix.withdraw = observed.managed;
    return fix;
  }
  if (!observed.viewable && !observed.iconic) {
    // A window shown into the taskbar is mapped with an iconic initial state, which the manager
    // reads when it gets there; showing it again would only cross that.
    fix.show_again = !wanted.minimized;
    fix.look_again = wanted.minimized;
    return fix;
  }
  fix.iconify = wanted.minimized && !observed.iconic;
  fix.activate = !wanted.minimized && observed.iconic;
  fix.unmaximize = wanted.unmaximized && observed.maximized;
  fix.band = observed.above != wanted.topmost;
  // Only a restored window on the screen is where its rectangle says.
  fix.place = !wanted.minimized && !observed.iconic && !observed.maximized && wanted.rect &&
              observed.rect != *wanted.rect;
  return fix;
}

}  // namespace trb
