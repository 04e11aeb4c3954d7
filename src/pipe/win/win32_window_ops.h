// The window commands on a Win32 top-level window: each operation is a short, fixed sequence
// of user-interface calls on the window handle, made on the calling thread.
#pragma once

#include <windows.h>

#include "pipe/target.h"

namespace trb {

// The user-interface functions the operations call. Tests substitute recording ones to check
// the exact calls; everything else uses RealWindowApi().
struct WindowApi {
  BOOL(WINAPI* set_foreground_window)(HWND);
  BOOL(WINAPI* show_window)(HWND, int);
  BOOL(WINAPI* set_window_pos)(HWND, HWND, int, int, int, int, UINT);
  BOOL(WINAPI* set_window_placement)(HWND, const WINDOWPLACEMENT*);
  BOOL(WINAPI* get_window_placement)(HWND, WINDOWPLACEMENT*);
  LONG(WINAPI* get_window_long)(HWND, int);
  LONG(WINAPI* set_window_long)(HWND, int, LONG);
  BOOL(WINAPI* is_window_visible)(HWND);
};

const WindowApi& RealWindowApi();

// The style bits NORESIZE clears: WS_MAXIMIZEBOX, WS_MINIMIZEBOX and WS_THICKFRAME.
inline constexpr DWORD kResizeStyleBits = 0x00070000;

// A Window over an HWND. The results of the calls are not examined: a handle that is no
// longer a window makes every operation do nothing (GetNormalRect then gives zeros).
class Win32Window final : public Window {
 public:
  explicit Win32Window(HWND hwnd, const WindowApi& api = RealWindowApi())
      : hwnd_(hwnd), api_(api) {}

  void ShowWindowNormal() override;
  void ShowWindowTopmost() override;
  void HideWindow() override;
  void MinimizeWindow() override;
  void SetNormalRect(const NormalRect& rect) override;
  void ForbidResize() override;
  bool IsWindowHidden() override;
  NormalRect GetNormalRect() override;

  HWND hwnd() const { return hwnd_; }

 private:
  void ShowInBand(HWND insert_after);

  const HWND hwnd_;
  const WindowApi api_;
};

}  // namespace trb
