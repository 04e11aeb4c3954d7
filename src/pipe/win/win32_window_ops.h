// The window commands on a Win32 top-level window: each operation is a short, fixed sequence
// of user-interface calls on the window handle, made on the calling thread.
#pragma once

#include <windows.h>

#include "pipe/window.h"

namespace trb {

// The style bits NORESIZE clears: WS_MAXIMIZEBOX, WS_MINIMIZEBOX and WS_THICKFRAME.
inline constexpr DWORD kResizeStyleBits = 0x00070000;

// A Window over an HWND. The results of the calls are not examined: a handle that is no
// longer a window makes every operation do nothing (GetNormalRect then gives zeros).
class Win32Window final : public Window {
 public:
  explicit Win32Window(HWND hwnd) : hwnd_(hwnd) {}

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
};

}  // namespace trb
