// The window commands on a real window, owned by a message-pumping thread as the browser's UI
// thread owns it, driven from the test's thread as the pipe thread drives it (in Wine's desktop).
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "pipe/win/win32_window_ops.h"
#include "support/case_name.h"

namespace trb {
namespace {

constexpr NormalRect kRect{.top = 40, .left = 30, .bottom = 440, .right = 630};
constexpr DWORD kResize = WS_MAXIMIZEBOX | WS_MINIMIZEBOX | WS_THICKFRAME;
constexpr DWORD kState = WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE;

// "COMMANDS = STATE": "maximize" is the user's doing, "report" sends GEOMETRY's report back.
class Win32WindowTest : public testing::TestWithParam<std::string> {};

TEST_P(Win32WindowTest, LeavesTheWindowAsTheCommandsSay) {
  std::promise<HWND> created;
  DWORD thread_id = 0;
  std::thread ui([&] {  // a hidden overlapped window on a message-pumping thread of its own
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
  const HWND hwnd = created.get_future().get();
  const std::shared_ptr<void> end(nullptr, [&](void*) {  // the window goes with its thread
    PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
    ui.join();
  });
  ASSERT_NE(hwnd, nullptr);
  const auto style = [&] { return static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)); };
  const DWORD before = style();
  Win32Window window(hwnd);
  const size_t eq = GetParam().find(" = ");
  std::istringstream commands(GetParam().substr(0, eq));
  bool geometry = false;
  for (std::string c; commands >> c;) {
    if (c == "SHOW") window.ShowWindowNormal();
    if (c == "SHOWTOPMOST") window.ShowWindowTopmost();
    if (c == "HIDE") window.HideWindow();
    if (c == "MINIMIZE") window.MinimizeWindow();
    if (c == "GEOMETRY") window.SetNormalRect(kRect), geometry = true;
    if (c == "NORESIZE") window.ForbidResize();
    if (c == "report") window.SetNormalRect(window.GetNormalRect());
    if (c == "maximize") ShowWindow(hwnd, SW_MAXIMIZE);
  }
  std::string state = window.IsWindowHidden() ? "hidden" : "shown";
  if (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST) state += " topmost";
  if (IsIconic(hwnd)) state += " iconic";
  if (IsZoomed(hwnd)) state += " zoomed";
  if (~style() & kResize) state += style() & kResize ? " partly fixed" : " fixed";
  EXPECT_EQ(state, GetParam().substr(eq + 3));
  EXPECT_EQ(style() & ~(kResize | kState), before & ~(kResize | kState));
  EXPECT_EQ(geometry ? window.GetNormalRect() : kRect, kRect);  // whatever the window's state
}

INSTANTIATE_TEST_SUITE_P(
    Windows, Win32WindowTest,
    testing::Values(" = hidden", "SHOW = shown", "SHOWTOPMOST = shown topmost",
                    "SHOWTOPMOST SHOW = shown", "SHOWTOPMOST HIDE = hidden topmost",
                    "SHOWTOPMOST HIDE SHOW = shown", "SHOW MINIMIZE = shown iconic",
                    "SHOW MINIMIZE SHOW = shown", "SHOW maximize SHOW = shown",
                    "SHOW GEOMETRY = hidden", "SHOW GEOMETRY SHOW = shown",
                    "GEOMETRY report = hidden", "GEOMETRY SHOW maximize = shown zoomed",
                    "GEOMETRY SHOW maximize MINIMIZE = shown iconic",
                    "NORESIZE NORESIZE SHOW = shown fixed"),
    [](const auto& info) {
      return test::CaseName(info.param.substr(0, info.param.find(" = ")), info.index);
    });

}  // namespace
}  // namespace trb
