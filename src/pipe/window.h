// The main window as the window commands see it: its restored rectangle and the operations
// the commands call. The one seam between the pipe thread and a platform's windows: the Qt
// browser and the Win32 layer implement it, tests fake it.
#pragma once

#include <cstdint>
#include <functional>

namespace trb {

// A window's restored rectangle, in the order GEOMETRY takes it and the final report gives it:
// the page's area without the window manager's frame, in screen coordinates, right and bottom
// exclusive.
struct NormalRect {
  int32_t top = 0;
  int32_t left = 0;
  int32_t bottom = 0;
  int32_t right = 0;
  friend bool operator==(const NormalRect&, const NormalRect&) = default;
};

// The operations of the window commands (WindowModel says what each one means). An
// implementation runs them on the thread that owns the window; see WindowAccess.
class Window {
 public:
  virtual ~Window() = default;
  virtual void ShowWindowNormal() = 0;   // SHOW: foreground, restored, not on top
  virtual void ShowWindowTopmost() = 0;  // SHOWTOPMOST: foreground, restored, on top
  virtual void HideWindow() = 0;         // HIDE
  virtual void MinimizeWindow() = 0;     // MINIMIZE, also of a hidden window
  virtual void SetNormalRect(const NormalRect& rect) = 0;  // GEOMETRY: leaves the window hidden
  virtual void ForbidResize() = 0;                         // NORESIZE
  virtual bool IsWindowHidden() = 0;       // ISHIDDEN: a minimised window is not hidden
  virtual NormalRect GetNormalRect() = 0;  // the final report: the rectangle it restores to
};

// How the pipe thread reaches the main window: runs `call` against it on the thread that owns
// it and returns once it has run. Does nothing when the window has gone. This is the only
// place where a call crosses threads, whatever the call is.
using WindowCall = std::function<void(Window&)>;
using WindowAccess = std::function<void(const WindowCall& call)>;

}  // namespace trb
