#include "pipe/win/win32_window_ops.h"

namespace trb {
namespace {

// The values the window commands are defined with; the SDK's names must mean the same.
static_assert(SW_HIDE == 0 && SW_MINIMIZE == 6 && SW_RESTORE == 9);
static_assert(GWL_STYLE == -16);
static_assert((SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW) == 0x0043);
static_assert((WS_MAXIMIZEBOX | WS_MINIMIZEBOX | WS_THICKFRAME) == kResizeStyleBits);
static_assert(sizeof(WINDOWPLACEMENT) == 44);

const HWND kNoTopmost = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-2));
const HWND kTopmost = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

}  // namespace

// SW_RESTORE rather than a plain show, so that a minimised or maximised window comes back to
// its restored rectangle; the z-order call then sets the band without moving or sizing.
void Win32Window::ShowInBand(HWND insert_after) {
  ::SetForegroundWindow(hwnd_);
  ::ShowWindow(hwnd_, SW_RESTORE);
  ::SetWindowPos(hwnd_, insert_after, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
}

void Win32Window::ShowWindowNormal() { ShowInBand(kNoTopmost); }

void Win32Window::ShowWindowTopmost() { ShowInBand(kTopmost); }

void Win32Window::HideWindow() { ::ShowWindow(hwnd_, SW_HIDE); }

void Win32Window::MinimizeWindow() {
  ::SetForegroundWindow(hwnd_);
  ::ShowWindow(hwnd_, SW_MINIMIZE);
}

// The whole record is set, show command included: SW_HIDE, so the window is hidden with its
// new restored rectangle until a later SHOW. NormalRect and RECT order their fields
// differently, hence field by field.
void Win32Window::SetNormalRect(const NormalRect& rect) {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  placement.flags = 0;
  placement.showCmd = SW_HIDE;
  placement.ptMinPosition = {-1, -1};
  placement.ptMaxPosition = {-1, -1};
  placement.rcNormalPosition.top = rect.top;
  placement.rcNormalPosition.left = rect.left;
  placement.rcNormalPosition.bottom = rect.bottom;
  placement.rcNormalPosition.right = rect.right;
  ::SetWindowPlacement(hwnd_, &placement);
}

// No SWP_FRAMECHANGED follows: the frame catches up the next time it is drawn.
void Win32Window::ForbidResize() {
  const DWORD style = static_cast<DWORD>(::GetWindowLongW(hwnd_, GWL_STYLE));
  ::SetWindowLongW(hwnd_, GWL_STYLE, static_cast<LONG>(style & ~kResizeStyleBits));
}

bool Win32Window::IsWindowHidden() { return ::IsWindowVisible(hwnd_) == 0; }

NormalRect Win32Window::GetNormalRect() {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  ::GetWindowPlacement(hwnd_, &placement);
  const RECT& r = placement.rcNormalPosition;
  return {static_cast<int32_t>(r.top), static_cast<int32_t>(r.left), static_cast<int32_t>(r.bottom),
          static_cast<int32_t>(r.right)};
}

}  // namespace trb
