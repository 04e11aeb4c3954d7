// The window after a run of commands and user actions, in the oracle's text form; "refused: STEP"
// must be a step the model says cannot happen then, and that changes nothing.
#include "pipe/window_model.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace trb {
namespace {

struct Sequence {
  const char* name;
  std::vector<std::string> steps;
  std::string expected;  // words DescribeWindowState's line must hold at the end
};

void PrintTo(const Sequence& s, std::ostream* os) { *os << s.name; }
class WindowModelTest : public testing::TestWithParam<Sequence> {};

TEST_P(WindowModelTest, EndsAsExpected) {
  WindowModel model;
  for (std::string text : GetParam().steps) {
    const bool refused = text.starts_with("refused: ");
    if (refused) text.erase(0, 9);
    const std::optional<WindowStep> step = ParseWindowStep(text);
    ASSERT_TRUE(step) << "not a step: " << text;
    const WindowModelState before = model.state();
    EXPECT_EQ(model.Apply(*step), !refused) << text;
    EXPECT_TRUE(!refused || model.state() == before) << "a refused step changed it: " << text;
  }
  const std::string described = " " + DescribeWindowState(model.state()) + " ";
  std::istringstream words(GetParam().expected);
  for (std::string word; words >> word;) {
    EXPECT_NE(described.find(" " + word + " "), std::string::npos)
        << word << " not in" << described;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sequences, WindowModelTest, testing::Values(
    Sequence{"HideKeepsTheTopBandForTheNextMinimize", {"SHOWTOPMOST", "HIDE", "MINIMIZE"}, "visible=1 minimized=1 topmost=1"},
    Sequence{"MinimizeOfAHiddenWindowShowsItMinimized", {"MINIMIZE"}, "visible=1 minimized=1"},
    Sequence{"GeometryHidesAndSetsTheRectangle", {"SHOW", "wm-place 10 10 778 1034", "GEOMETRY 100 200 700 1000"}, "visible=0 restored=100,200,700,1000"},
    Sequence{"GeometryTakesAWindowOutOfMaximized", {"SHOW", "wm-place 0 0 10 10", "user-maximize", "GEOMETRY 1 2 3 4", "MINIMIZE", "user-restore"}, "visible=1 minimized=0 maximized=0 restored=1,2,3,4"},
    Sequence{"UserMoveAndResizeReplaceTheControllersRectangle", {"GEOMETRY 100 100 500 600", "MINIMIZE", "user-restore", "user-move 150 120 550 620", "user-resize 150 120 650 820", "QUIT"}, "closed=1 reported=1 restored=150,120,650,820"},
    Sequence{"ReportOfAMaximizedWindowIsItsRestoredRectangle", {"GEOMETRY 10 20 410 620", "SHOW", "user-maximize", "QUIT"}, "reported=1 restored=10,20,410,620"},
    Sequence{"HiddenMaximizedWindowMinimizedThenRestoredIsMaximized", {"SHOW", "wm-place 0 0 10 10", "user-maximize", "HIDE", "MINIMIZE", "user-restore"}, "visible=1 minimized=0 maximized=1"},
    Sequence{"PlacementOnlyForAWindowWithoutARectangle", {"SHOW", "wm-place 5 6 7 8", "refused: wm-place 1 2 3 4"}, "restored=5,6,7,8"},
    Sequence{"NoPlacementWhileOffTheScreen", {"refused: wm-place 1 2 3 4", "MINIMIZE", "refused: wm-place 1 2 3 4"}, "restored=unknown"},
    Sequence{"NoResizeKeepsMovingButNotResizing", {"GEOMETRY 0 0 100 100", "SHOW", "NORESIZE", "refused: user-resize 0 0 200 200", "refused: user-maximize", "refused: user-minimize", "user-move 10 10 110 110"}, "resizable=0 restored=10,10,110,110"},
    Sequence{"NoResizeTakesAWindowOutOfMaximized", {"GEOMETRY 0 0 100 100", "SHOW", "user-maximize", "MINIMIZE", "NORESIZE", "user-restore"}, "visible=1 minimized=0 maximized=0 restored=0,0,100,100"},
    Sequence{"NoDragOrCloseOfAHiddenWindow", {"refused: user-move 1 2 3 4", "refused: user-close", "refused: user-restore", "refused: user-minimize"}, "visible=0"},
    Sequence{"NoDragOfAMinimizedOrMaximizedWindow", {"GEOMETRY 0 0 100 100", "SHOW", "user-maximize", "refused: user-move 5 5 105 105", "refused: user-maximize", "user-minimize", "refused: user-move 5 5 105 105", "refused: user-minimize"}, "minimized=1 maximized=1 restored=0,0,100,100"},
    Sequence{"CloseWithHideOnCloseHides", {"SET-HIDE-ON-CLOSE 1", "SHOWTOPMOST", "user-close"}, "visible=0 closed=0 topmost=1"},
    Sequence{"CloseWithoutHideOnCloseReports", {"GEOMETRY 1 2 3 4", "SHOW", "user-close", "refused: SHOW"}, "closed=1 reported=1 visible=0 restored=1,2,3,4"},
    Sequence{"ControllerGoneClosesWithoutAReport", {"SET-HIDE-ON-CLOSE 1", "SHOW", "controller-gone", "refused: user-close"}, "closed=1 reported=0"},
    Sequence{"OtherCommandsLeaveTheWindowAlone", {"SHOW", "LOAD http://a.test/", "GETURL", "ISHIDDEN", "CLEAR", "RELOAD", "SET-ALLOWED-ORIGINS a|b"}, "visible=1 minimized=0 maximized=0 topmost=0 resizable=1 closed=0"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace trb
