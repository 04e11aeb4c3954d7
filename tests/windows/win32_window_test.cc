// The window operations on a real top-level window: the window belongs to a thread of its
// own that pumps messages, as the browser's UI thread does, and the operations are called
// from the test's thread, as the pipe thread calls them. Under Wine it needs a display, and
// runs in Wine's own desktop window (explorer /desktop) so that Wine, not an X window
// manager, manages the window as Windows would.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "pipe/win/win32_window_ops.h"

namespace trb {
namespace {

constexpr wchar_t kClassName[] = L"trbWindowOpsTest";
constexpr DWORD kResizeBits = WS_MAXIMIZEBOX | WS_MINIMIZEBOX | WS_THICKFRAME;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// A hidden overlapped window on a message-pumping thread of its own.
class UiWindow {
 public:
  UiWindow() {
    std::promise<HWND> created;
    std::future<HWND> hwnd = created.get_future();
    thread_ = std::thread([this, &created] {
      thread_id_ = GetCurrentThreadId();
      WNDCLASSW wc{};
      wc.lpfnWndProc = WindowProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = kClassName;
      RegisterClassW(&wc);  // fails harmlessly when a previous test registered it
      const HWND window =
          CreateWindowExW(0, kClassName, L"Tavrin WebBrowser", WS_OVERLAPPEDWINDOW, 100, 100, 400,
                          300, nullptr, nullptr, wc.hInstance, nullptr);
      created.set_value(window);
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    });
    hwnd_ = hwnd.get();
  }
  ~UiWindow() {
    if (hwnd_ != nullptr) {
      PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    } else {
      PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
    }
    thread_.join();
  }
  HWND hwnd() const { return hwnd_; }

 private:
  std::thread thread_;
  DWORD thread_id_ = 0;  // set before hwnd_
  HWND hwnd_ = nullptr;
};

class Win32WindowTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(ui_.hwnd(), nullptr) << "CreateWindowExW failed"; }

  HWND hwnd() const { return ui_.hwnd(); }
  bool Topmost() const { return (GetWindowLongW(hwnd(), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }
  DWORD Style() const { return static_cast<DWORD>(GetWindowLongW(hwnd(), GWL_STYLE)); }
  RECT PlacementRect() const {
    WINDOWPLACEMENT p{};
    p.length = sizeof p;
    EXPECT_TRUE(GetWindowPlacement(hwnd(), &p));
    return p.rcNormalPosition;
  }

  UiWindow ui_;
  Win32Window window_{ui_.hwnd()};
};

TEST_F(Win32WindowTest, ShowShowsAHiddenWindow) {
  ASSERT_FALSE(IsWindowVisible(hwnd()));
  EXPECT_TRUE(window_.IsWindowHidden());
  window_.ShowWindowNormal();
  EXPECT_TRUE(IsWindowVisible(hwnd()));
  EXPECT_FALSE(window_.IsWindowHidden());
  EXPECT_FALSE(Topmost());
}

TEST_F(Win32WindowTest, ShowTopmostThenShowLeavesTheTopmostBand) {
  window_.ShowWindowTopmost();
  EXPECT_TRUE(IsWindowVisible(hwnd()));
  EXPECT_TRUE(Topmost());
  window_.ShowWindowNormal();
  EXPECT_TRUE(IsWindowVisible(hwnd()));
  EXPECT_FALSE(Topmost());
}

TEST_F(Win32WindowTest, HideKeepsTheBandAndShowComesBackOrdinary) {
  window_.ShowWindowTopmost();
  window_.HideWindow();
  EXPECT_FALSE(IsWindowVisible(hwnd()));
  EXPECT_TRUE(window_.IsWindowHidden());
  EXPECT_TRUE(Topmost());
  window_.ShowWindowNormal();
  EXPECT_TRUE(IsWindowVisible(hwnd()));
  EXPECT_FALSE(Topmost());
}

TEST_F(Win32WindowTest, MinimizedWindowIsIconicButNotHidden) {
  window_.ShowWindowNormal();
  window_.MinimizeWindow();
  EXPECT_TRUE(IsIconic(hwnd()));
  EXPECT_FALSE(window_.IsWindowHidden());
}

TEST_F(Win32WindowTest, ShowRestoresAMinimizedOrMaximizedWindow) {
  window_.ShowWindowNormal();
  window_.MinimizeWindow();
  window_.ShowWindowNormal();
  EXPECT_FALSE(IsIconic(hwnd()));
  ShowWindow(hwnd(), SW_MAXIMIZE);
  ASSERT_TRUE(IsZoomed(hwnd()));
  window_.ShowWindowNormal();
  EXPECT_FALSE(IsZoomed(hwnd()));
  EXPECT_TRUE(IsWindowVisible(hwnd()));
}

TEST_F(Win32WindowTest, GeometryHidesAndSetsTheRestoredRectangle) {
  window_.ShowWindowNormal();
  const NormalRect rect{.top = 40, .left = 30, .bottom = 440, .right = 630};
  window_.SetNormalRect(rect);
  EXPECT_FALSE(IsWindowVisible(hwnd()));
  EXPECT_TRUE(window_.IsWindowHidden());
  const RECT placed = PlacementRect();
  EXPECT_EQ(placed.left, 30);
  EXPECT_EQ(placed.top, 40);
  EXPECT_EQ(placed.right, 630);
  EXPECT_EQ(placed.bottom, 440);
  EXPECT_EQ(window_.GetNormalRect(), rect);
  window_.ShowWindowNormal();
  EXPECT_TRUE(IsWindowVisible(hwnd()));
  EXPECT_EQ(window_.GetNormalRect(), rect);
}

TEST_F(Win32WindowTest, ReportSentBackLeavesTheRectangleUnchanged) {
  window_.SetNormalRect({.top = 50, .left = 60, .bottom = 350, .right = 560});
  const NormalRect reported = window_.GetNormalRect();
  window_.SetNormalRect(reported);
  EXPECT_EQ(window_.GetNormalRect(), reported);
}

TEST_F(Win32WindowTest, ReportOfAMaximizedWindowIsTheRestoredRectangle) {
  const NormalRect rect{.top = 70, .left = 80, .bottom = 370, .right = 480};
  window_.SetNormalRect(rect);
  window_.ShowWindowNormal();
  ShowWindow(hwnd(), SW_MAXIMIZE);
  ASSERT_TRUE(IsZoomed(hwnd()));
  EXPECT_EQ(window_.GetNormalRect(), rect);
  window_.MinimizeWindow();
  ASSERT_TRUE(IsIconic(hwnd()));
  EXPECT_EQ(window_.GetNormalRect(), rect);
}

TEST_F(Win32WindowTest, ReportOfAMinimizedWindowIsTheRestoredRectangle) {
  const NormalRect rect{.top = 90, .left = 60, .bottom = 390, .right = 560};
  window_.SetNormalRect(rect);
  window_.ShowWindowNormal();
  window_.MinimizeWindow();
  ASSERT_TRUE(IsIconic(hwnd()));
  EXPECT_EQ(window_.GetNormalRect(), rect);
}

TEST_F(Win32WindowTest, NoResizeClearsTheThreeBitsAndKeepsTheRest) {
  const DWORD before = Style();
  ASSERT_EQ(before & kResizeBits, kResizeBits);
  window_.ForbidResize();
  const DWORD once = Style();
  EXPECT_EQ(once & kResizeBits, 0u);
  EXPECT_EQ(once, before & ~kResizeBits);
  EXPECT_EQ(once & (WS_CAPTION | WS_SYSMENU), static_cast<DWORD>(WS_CAPTION | WS_SYSMENU));
  window_.ForbidResize();
  EXPECT_EQ(Style(), once);
}

TEST_F(Win32WindowTest, OperationsOnADestroyedWindowDoNothing) {
  const HWND gone = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                    nullptr, nullptr, nullptr);
  ASSERT_NE(gone, nullptr);
  DestroyWindow(gone);
  Win32Window window(gone);
  window.ShowWindowNormal();
  window.ShowWindowTopmost();
  window.MinimizeWindow();
  window.SetNormalRect({1, 2, 3, 4});
  window.ForbidResize();
  window.HideWindow();
  EXPECT_TRUE(window.IsWindowHidden());
  EXPECT_EQ(window.GetNormalRect(), (NormalRect{0, 0, 0, 0}));
}

}  // namespace
}  // namespace trb
