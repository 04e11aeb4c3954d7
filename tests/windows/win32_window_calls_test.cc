// The exact user-interface calls of each window operation, recorded instead of made: the
// order, the window handle, the constants and the placement record.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pipe/win/win32_window_ops.h"

namespace trb {
namespace {

using Strings = std::vector<std::string>;

const HWND kWindow = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1234));

// What the recording functions saw and what the queries answer.
struct Recorder {
  Strings calls;
  WINDOWPLACEMENT set_placement{};
  UINT get_placement_length = 0;
  WINDOWPLACEMENT placement_to_give{};
  LONG style = 0;
  BOOL visible = TRUE;
} g_rec;

std::string Handle(HWND h) { return std::to_string(reinterpret_cast<LONG_PTR>(h)); }

void Record(HWND h, const std::string& text) { g_rec.calls.push_back(text + " @" + Handle(h)); }

BOOL WINAPI SetForeground(HWND h) {
  Record(h, "SetForegroundWindow");
  return TRUE;
}
BOOL WINAPI Show(HWND h, int cmd) {
  Record(h, "ShowWindow " + std::to_string(cmd));
  return TRUE;
}
BOOL WINAPI SetPos(HWND h, HWND after, int x, int y, int cx, int cy, UINT flags) {
  Record(h, "SetWindowPos " + Handle(after) + " " + std::to_string(x) + " " + std::to_string(y) +
                " " + std::to_string(cx) + " " + std::to_string(cy) + " " + std::to_string(flags));
  return TRUE;
}
BOOL WINAPI SetPlacement(HWND h, const WINDOWPLACEMENT* p) {
  Record(h, "SetWindowPlacement");
  g_rec.set_placement = *p;
  return TRUE;
}
BOOL WINAPI GetPlacement(HWND h, WINDOWPLACEMENT* p) {
  Record(h, "GetWindowPlacement");
  g_rec.get_placement_length = p->length;
  *p = g_rec.placement_to_give;
  return TRUE;
}
BOOL WINAPI FailGetPlacement(HWND h, WINDOWPLACEMENT*) {
  Record(h, "GetWindowPlacement");
  return FALSE;
}
LONG WINAPI GetLong(HWND h, int index) {
  Record(h, "GetWindowLongW " + std::to_string(index));
  return g_rec.style;
}
LONG WINAPI SetLong(HWND h, int index, LONG value) {
  Record(h, "SetWindowLongW " + std::to_string(index));
  const LONG old = g_rec.style;
  g_rec.style = value;
  return old;
}
BOOL WINAPI Visible(HWND h) {
  Record(h, "IsWindowVisible");
  return g_rec.visible;
}

const WindowApi kRecording{&SetForeground, &Show,    &SetPos,  &SetPlacement,
                           &GetPlacement,  &GetLong, &SetLong, &Visible};

class Win32WindowCalls : public testing::Test {
 protected:
  void SetUp() override { g_rec = Recorder{}; }
  Win32Window window_{kWindow, kRecording};
};

struct SequenceCase {
  const char* name;
  std::function<void(Window&)> operation;
  Strings calls;
};

class Win32WindowSequence : public testing::TestWithParam<SequenceCase> {
 protected:
  void SetUp() override { g_rec = Recorder{}; }
};

TEST_P(Win32WindowSequence, MakesExactlyTheseCalls) {
  Win32Window window(kWindow, kRecording);
  GetParam().operation(window);
  EXPECT_EQ(g_rec.calls, GetParam().calls);
}

// 4660 is the window handle; -2 and -1 are HWND_NOTOPMOST and HWND_TOPMOST; 67 is
// SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW; 9 SW_RESTORE, 6 SW_MINIMIZE, 0 SW_HIDE.
INSTANTIATE_TEST_SUITE_P(
    Windows, Win32WindowSequence,
    testing::Values(
        SequenceCase{"Show",
                     [](Window& w) { w.ShowWindowNormal(); },
                     {"SetForegroundWindow @4660", "ShowWindow 9 @4660",
                      "SetWindowPos -2 0 0 0 0 67 @4660"}},
        SequenceCase{"ShowTopmost",
                     [](Window& w) { w.ShowWindowTopmost(); },
                     {"SetForegroundWindow @4660", "ShowWindow 9 @4660",
                      "SetWindowPos -1 0 0 0 0 67 @4660"}},
        SequenceCase{"Hide", [](Window& w) { w.HideWindow(); }, {"ShowWindow 0 @4660"}},
        SequenceCase{"Minimize",
                     [](Window& w) { w.MinimizeWindow(); },
                     {"SetForegroundWindow @4660", "ShowWindow 6 @4660"}},
        SequenceCase{"Geometry",
                     [](Window& w) {
                       w.SetNormalRect({1, 2, 3, 4});
                     },
                     {"SetWindowPlacement @4660"}},
        SequenceCase{"NoResize",
                     [](Window& w) { w.ForbidResize(); },
                     {"GetWindowLongW -16 @4660", "SetWindowLongW -16 @4660"}},
        SequenceCase{"IsHidden", [](Window& w) { w.IsWindowHidden(); }, {"IsWindowVisible @4660"}},
        SequenceCase{"Report", [](Window& w) { w.GetNormalRect(); }, {"GetWindowPlacement @4660"}}),
    [](const testing::TestParamInfo<SequenceCase>& info) { return info.param.name; });

TEST_F(Win32WindowCalls, PlacementRecordIsFilledCompletely) {
  window_.SetNormalRect({.top = -10, .left = 20, .bottom = 610, .right = 820});
  const WINDOWPLACEMENT& p = g_rec.set_placement;
  EXPECT_EQ(p.length, 44u);
  EXPECT_EQ(p.flags, 0u);
  EXPECT_EQ(p.showCmd, 0u);
  EXPECT_EQ(p.ptMinPosition.x, -1);
  EXPECT_EQ(p.ptMinPosition.y, -1);
  EXPECT_EQ(p.ptMaxPosition.x, -1);
  EXPECT_EQ(p.ptMaxPosition.y, -1);
  EXPECT_EQ(p.rcNormalPosition.left, 20);
  EXPECT_EQ(p.rcNormalPosition.top, -10);
  EXPECT_EQ(p.rcNormalPosition.right, 820);
  EXPECT_EQ(p.rcNormalPosition.bottom, 610);
}

TEST_F(Win32WindowCalls, ReportReadsTheRestoredRectangleFieldByField) {
  g_rec.placement_to_give.rcNormalPosition = {.left = 5, .top = 6, .right = 700, .bottom = 800};
  g_rec.placement_to_give.ptMaxPosition = {99, 99};
  EXPECT_EQ(window_.GetNormalRect(), (NormalRect{6, 5, 800, 700}));
  EXPECT_EQ(g_rec.get_placement_length, 44u);
}

TEST_F(Win32WindowCalls, ReportOfAFailedPlacementQueryIsZeros) {
  Win32Window window(kWindow, WindowApi{&SetForeground, &Show, &SetPos, &SetPlacement,
                                        &FailGetPlacement, &GetLong, &SetLong, &Visible});
  EXPECT_EQ(window.GetNormalRect(), (NormalRect{0, 0, 0, 0}));
}

TEST_F(Win32WindowCalls, NoResizeClearsOnlyTheThreeBits) {
  const struct {
    DWORD before;
    DWORD after;
  } cases[] = {
      {0x14CF0000, 0x14C80000},  // WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN
      {0x00070000, 0x00000000},
      {0x00C80000, 0x00C80000},  // caption and system menu only: unchanged
      {0xFFFFFFFF, 0xFFF8FFFF},
      {0x00000000, 0x00000000},
  };
  for (const auto& c : cases) {
    g_rec.style = static_cast<LONG>(c.before);
    window_.ForbidResize();
    EXPECT_EQ(static_cast<DWORD>(g_rec.style), c.after) << std::hex << c.before;
    window_.ForbidResize();
    EXPECT_EQ(static_cast<DWORD>(g_rec.style), c.after) << "twice: " << std::hex << c.before;
  }
}

TEST_F(Win32WindowCalls, HiddenExactlyWhenNotVisible) {
  for (const BOOL visible : {0, 1, 2, -1}) {
    g_rec.visible = visible;
    EXPECT_EQ(window_.IsWindowHidden(), visible == 0) << visible;
  }
}

}  // namespace
}  // namespace trb
