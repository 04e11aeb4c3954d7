// The window commands on a real top-level window, owned by a thread that pumps its messages as
// the browser's UI thread does, and driven from the test's thread as the pipe thread drives it.
// tests/windows/run.sh runs it inside Wine's own desktop window, which manages it as Windows
// would.
#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <thread>

#include "pipe/win/win32_window_ops.h"
#include "support/case_name.h"

namespace trb {
namespace {

constexpr NormalRect kRect{.top = 40, .left = 30, .bottom = 440, .right = 630};

// A hidden overlapped window on a message-pumping thread of its own.
struct UiWindow {
  UiWindow() {
    std::promise<HWND> created;
    thread = std::thread([&] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = DefWindowProcW;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"trbTest";
      RegisterClassW(&wc);  // fails harmlessly once registered
      thread_id = GetCurrentThreadId();
      created.set_value(CreateWindowExW(0, L"trbTest", L"trb", WS_OVERLAPPEDWINDOW, 100, 100, 400,
                                        300, nullptr, nullptr, wc.hInstance, nullptr));
      for (MSG msg; GetMessageW(&msg, nullptr, 0, 0) > 0;) DispatchMessageW(&msg);
    });
    hwnd = created.get_future().get();
  }
  ~UiWindow() {
    PostThreadMessageW(thread_id, WM_QUIT, 0, 0);  // the window goes with its thread
    thread.join();
  }
  std::thread thread;
  DWORD thread_id = 0;
  HWND hwnd = nullptr;
};

struct Case {
  const char* commands;  // "maximize" is the user's doing, "report" sends GEOMETRY's report back
  const char* state;
};

class Win32WindowTest : public testing::TestWithParam<Case> {};

TEST_P(Win32WindowTest, LeavesTheWindowAsTheCommandsSay) {
  UiWindow ui;
  ASSERT_NE(ui.hwnd, nullptr);
  Win32Window window(ui.hwnd);
  std::istringstream commands(GetParam().commands);
  bool geometry = false;
  for (std::string c; commands >> c;) {
    if (c == "SHOW") window.ShowWindowNormal();
    if (c == "SHOWTOPMOST") window.ShowWindowTopmost();
    if (c == "HIDE") window.HideWindow();
    if (c == "MINIMIZE") window.MinimizeWindow();
    if (c == "GEOMETRY") window.SetNormalRect(kRect), geometry = true;
    if (c == "report") window.SetNormalRect(window.GetNormalRect());
    if (c == "maximize") ShowWindow(ui.hwnd, SW_MAXIMIZE);
  }
  std::string state = window.IsWindowHidden() ? "hidden" : "shown";
  if (GetWindowLongW(ui.hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) state += " topmost";
  if (IsIconic(ui.hwnd)) state += " iconic";
  if (IsZoomed(ui.hwnd)) state += " zoomed";
  EXPECT_EQ(state, GetParam().state);
  EXPECT_EQ(window.IsWindowHidden(), !IsWindowVisible(ui.hwnd));
  WINDOWPLACEMENT p{};
  p.length = sizeof p;
  ASSERT_TRUE(GetWindowPlacement(ui.hwnd, &p));
  const RECT& r = p.rcNormalPosition;
  EXPECT_EQ(window.GetNormalRect(), (NormalRect{r.top, r.left, r.bottom, r.right}));
  if (geometry) {
    EXPECT_EQ(window.GetNormalRect(), kRect);  // whatever the window's state
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, Win32WindowTest,
    testing::Values(Case{"", "hidden"}, Case{"SHOW", "shown"}, Case{"SHOWTOPMOST", "shown topmost"},
                    Case{"SHOWTOPMOST SHOW", "shown"}, Case{"SHOWTOPMOST HIDE", "hidden topmost"},
                    Case{"SHOWTOPMOST HIDE SHOW", "shown"}, Case{"SHOW MINIMIZE", "shown iconic"},
                    Case{"SHOW MINIMIZE SHOW", "shown"}, Case{"SHOW maximize SHOW", "shown"},
                    Case{"SHOW GEOMETRY", "hidden"}, Case{"SHOW GEOMETRY SHOW", "shown"},
                    Case{"GEOMETRY report", "hidden"},
                    Case{"GEOMETRY SHOW maximize", "shown zoomed"},
                    Case{"GEOMETRY SHOW maximize MINIMIZE", "shown iconic"}),
    [](const auto& info) { return test::CaseName(info.param.commands, info.index); });

TEST(Win32Window, NoResizeClearsTheResizeBitsOnly) {
  UiWindow ui;
  const DWORD before = GetWindowLongW(ui.hwnd, GWL_STYLE);
  constexpr DWORD kResize = WS_MAXIMIZEBOX | WS_MINIMIZEBOX | WS_THICKFRAME;
  ASSERT_EQ(before & kResize, kResize);
  for (int twice = 0; twice < 2; ++twice) {
    Win32Window(ui.hwnd).ForbidResize();
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(ui.hwnd, GWL_STYLE)), before & ~kResize);
  }
}

}  // namespace
}  // namespace trb
