#include "pipe/window_model.h"

#include <type_traits>

#include "policy/split.h"

namespace trb {

bool WindowModel::Apply(const WindowStep& step) {
  if (state_.closed) return false;
  return std::visit([this](const auto& s) { return Run(s); }, step);
}

bool WindowModel::Run(const Command& command) {
  WindowModelState& s = state_;
  std::visit(
      [&s, this](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, command::Show> || std::is_same_v<C, command::ShowTopmost>) {
          // Brought to the front and restored: out of the taskbar and out of a maximised
          // state, back to its restored rectangle (on Windows SW_RESTORE, then the z-order band
          // set without moving). A window shown for the first time without a rectangle is
          // placed by the window manager (WindowManagerPlacement).
          s.visible = true;
          s.minimized = false;
          s.maximized = false;
          s.topmost = std::is_same_v<C, command::ShowTopmost>;
        } else if constexpr (std::is_same_v<C, command::Hide>) {
          // Unmapped (Windows' SW_HIDE). The band, the placement and a maximised or minimised
          // state are kept for whatever shows the window next.
          s.visible = false;
        } else if constexpr (std::is_same_v<C, command::Minimize>) {
          // Iconified, and shown if it was hidden: a hidden window becomes a minimised one in the
          // taskbar, as ShowWindow(SW_MINIMIZE) makes it on Windows. Restoring it brings back a
          // maximised window maximised.
          s.visible = true;
          s.minimized = true;
        } else if constexpr (std::is_same_v<C, command::Geometry>) {
          // Windows' placement record with the show command SW_HIDE and no flags: hidden, and
          // placed in the restored state at the rectangle, which the next show puts on the
          // screen. Neither minimised nor maximised any more, so whatever shows the window
          // next, it comes back in this rectangle.
          s.visible = false;
          s.minimized = false;
          s.maximized = false;
          s.restored = c.rect;
        } else if constexpr (std::is_same_v<C, command::NoResize>) {
          // Windows clears the thick frame and the minimise and maximise boxes. On Linux the
          // size hints fix the size (minimum = maximum = the restored size) and the frame loses
          // its minimise and maximise buttons. A window manager keeps no maximised state for a
          // window of fixed size, so a maximised window goes back to its restored rectangle
          // (on Windows it would stay maximised, with no button to restore it). The controller
          // can still set a new rectangle, minimise, and show the window.
          s.resizable = false;
          s.maximized = false;
        } else if constexpr (std::is_same_v<C, command::SetHideOnClose>) {
          if (c.hide) s.hide_on_close = *c.hide;
        } else if constexpr (std::is_same_v<C, command::Quit>) {
          // The close is never turned into a hide, and the report follows.
          s.hide_on_close = false;
          Close();
        }
        // LOAD, RELOAD, CLEAR, ISHIDDEN, GETURL and SET-ALLOWED-ORIGINS leave the window alone.
      },
      command);
  return true;
}

bool WindowModel::Run(const UserStep& step) {
  WindowModelState& s = state_;
  // A window on the screen in its restored state has a frame to drag: moved or resized, it
  // has a new restored rectangle, and that is where later shows and the report start from.
  const bool restored_on_screen = s.on_screen() && !s.maximized;
  switch (step.action) {
    case UserAction::kMove:
      if (!restored_on_screen) return false;
      s.restored = step.rect;
      return true;
    case UserAction::kResize:
      if (!restored_on_screen || !s.resizable) return false;
      s.restored = step.rect;
      return true;
    case UserAction::kMaximize:
      if (!restored_on_screen || !s.resizable) return false;
      s.maximized = true;
      return true;
    case UserAction::kRestore:
      // From the taskbar (back to what it was before, maximised or not), or out of the
      // maximised state, back to the restored rectangle.
      if (!s.visible) return false;
      if (s.minimized) {
        s.minimized = false;
      } else if (s.maximized) {
        s.maximized = false;
      } else {
        return false;
      }
      return true;
    case UserAction::kMinimize:
      // NORESIZE took the minimise button away with the others.
      if (!s.on_screen() || !s.resizable) return false;
      s.minimized = true;
      return true;
    case UserAction::kClose:
      // The window manager closes only a window it manages; a hidden window has no frame.
      if (!s.visible) return false;
      if (s.hide_on_close) {
        // The browser hides the window (and shows the default page) instead of closing; the
        // controller brings it back with SHOW, SHOWTOPMOST or MINIMIZE.
        s.visible = false;
      } else {
        Close();
      }
      return true;
  }
  return false;
}

bool WindowModel::Run(const WindowManagerPlacement& placement) {
  if (state_.restored || !state_.on_screen() || state_.maximized) return false;
  state_.restored = placement.rect;
  return true;
}

bool WindowModel::Run(const ControllerGone&) {
  // The browser closes even with hide-on-close set, and nobody is left to read a report.
  state_.hide_on_close = false;
  state_.closed = true;
  state_.reported = false;
  state_.visible = false;
  return true;
}

void WindowModel::Close() {
  state_.closed = true;
  state_.reported = true;
  state_.visible = false;
}

namespace {

std::optional<NormalRect> ParseRect(const std::vector<std::string>& tokens) {
  if (tokens.size() != 5) return std::nullopt;
  return NormalRect{ParseInt32(tokens[1]), ParseInt32(tokens[2]), ParseInt32(tokens[3]),
                    ParseInt32(tokens[4])};
}

}  // namespace

std::optional<WindowStep> ParseWindowStep(std::string_view text) {
  const std::vector<std::string> tokens = SplitAtWhitespace(text);
  const std::string& word = tokens[0];
  const std::optional<NormalRect> rect = ParseRect(tokens);
  if (word == "user-move" && rect) return UserStep{UserAction::kMove, *rect};
  if (word == "user-resize" && rect) return UserStep{UserAction::kResize, *rect};
  if (word == "wm-place" && rect) return WindowManagerPlacement{*rect};
  if (tokens.size() == 1) {
    if (word == "user-maximize") return UserStep{UserAction::kMaximize, {}};
    if (word == "user-restore") return UserStep{UserAction::kRestore, {}};
    if (word == "user-minimize") return UserStep{UserAction::kMinimize, {}};
    if (word == "user-close") return UserStep{UserAction::kClose, {}};
    if (word == "controller-gone") return ControllerGone{};
  }
  if (std::optional<Command> command = ParseCommand(text)) return *command;
  return std::nullopt;
}

std::string DescribeWindowState(const WindowModelState& s) {
  auto flag = [](bool b) { return b ? "1" : "0"; };
  std::string restored = "unknown";
  if (s.restored) {
    const NormalRect& r = *s.restored;
    restored = std::to_string(r.top) + "," + std::to_string(r.left) + "," +
               std::to_string(r.bottom) + "," + std::to_string(r.right);
  }
  return std::string("visible=") + flag(s.visible) + " minimized=" + flag(s.minimized) +
         " maximized=" + flag(s.maximized) + " topmost=" + flag(s.topmost) +
         " resizable=" + flag(s.resizable) + " restored=" + restored +
         " hide_on_close=" + flag(s.hide_on_close) + " closed=" + flag(s.closed) +
         " reported=" + flag(s.reported);
}

}  // namespace trb
