// What the window commands and the user's own actions do to the main window, on a desktop with
// a window manager: the meaning every implementation of Window must have, written down once.
// The unit tests read it case by case; the randomised end-to-end test drives the real window
// through commands and window-manager actions and compares it with this model after every
// step (tests/e2e/window_oracle.cc runs the model for it).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "pipe/command_language.h"
#include "pipe/window.h"

namespace trb {

// What the model knows of the main window after each step.
struct WindowModelState {
  // Shown: the window manager manages it (it is mapped, on the screen or minimised) and
  // ISHIDDEN answers 0. A hidden window is unmapped: no frame, no taskbar entry.
  bool visible = false;
  // Iconified: in the taskbar, not on the screen (_NET_WM_STATE_HIDDEN). Restoring it brings
  // back the state it had before, maximised or not.
  bool minimized = false;
  // Filling the work area (_NET_WM_STATE_MAXIMIZED_*); it still has its restored rectangle.
  bool maximized = false;
  // Above ordinary windows (_NET_WM_STATE_ABOVE; Windows' topmost band).
  bool topmost = false;
  // The user may resize, maximise and minimise the window from its frame.
  bool resizable = true;
  // Where the window is when neither minimised nor maximised: the rectangle it restores to
  // and the one the final report gives. Unknown until the controller sets one or the window
  // manager has placed the window on the screen the first time.
  std::optional<NormalRect> restored;
  bool hide_on_close = false;
  // The browser has closed and the session is over; `reported` says whether the final report
  // (the restored rectangle) was written before the connection ended.
  bool closed = false;
  bool reported = false;

  bool hidden() const { return !visible; }  // what ISHIDDEN answers
  bool on_screen() const { return visible && !minimized; }
  friend bool operator==(const WindowModelState&, const WindowModelState&) = default;
};

// What the user does to the window, as the window manager reports it.
enum class UserAction { kMove, kResize, kMaximize, kRestore, kMinimize, kClose };
struct UserStep {
  UserAction action;
  NormalRect rect;  // the new restored rectangle, for kMove and kResize
  friend bool operator==(const UserStep&, const UserStep&) = default;
};
// The window manager put a window whose rectangle nobody had chosen on the screen: the first
// show of a window the controller never placed.
struct WindowManagerPlacement {
  NormalRect rect;
  friend bool operator==(const WindowManagerPlacement&, const WindowManagerPlacement&) = default;
};
// The controller closed its end of the pipe.
struct ControllerGone {
  friend bool operator==(const ControllerGone&, const ControllerGone&) = default;
};

using WindowStep = std::variant<Command, UserStep, WindowManagerPlacement, ControllerGone>;

class WindowModel {
 public:
  WindowModel() = default;
  explicit WindowModel(const WindowModelState& state) : state_(state) {}

  const WindowModelState& state() const { return state_; }

  // Applies `step`. False when the step cannot happen in this state: a user action that the
  // window manager does not offer for the window as it is (no frame to drag on a hidden or
  // minimised window, no resizing after NORESIZE), a placement of a window that already has
  // its rectangle, or anything after the session has ended. The state is then unchanged.
  // Commands that do not concern the window (LOAD, GETURL, ...) change nothing and count as
  // applied.
  bool Apply(const WindowStep& step);

 private:
  bool Run(const Command& command);
  bool Run(const UserStep& step);
  bool Run(const WindowManagerPlacement& placement);
  bool Run(const ControllerGone&);
  void Close();

  WindowModelState state_;
};

// Steps as text, one per line of the oracle's input and of a replayed sequence: a command
// piece exactly as the controller sends it ("GEOMETRY 100 100 500 600"), or one of
// "user-move T L B R", "user-resize T L B R", "user-maximize", "user-restore",
// "user-minimize", "user-close", "wm-place T L B R", "controller-gone". Nullopt for anything
// else, a command the language refuses included.
std::optional<WindowStep> ParseWindowStep(std::string_view text);

// The state as one line of "key=value" words, for the oracle and for failure messages:
// "visible=1 minimized=0 maximized=0 topmost=0 resizable=1 restored=100,100,500,600
// hide_on_close=0 closed=0 reported=0"; restored is "unknown" while it is.
std::string DescribeWindowState(const WindowModelState& state);

}  // namespace trb
