// The window model, sequence by sequence: what the window is after a run of commands and
// user actions. Each case lists its steps in the text form the oracle reads; a step written
// "refused: STEP" must be one the model says cannot happen then.
#include "pipe/window_model.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace trb {
namespace {

constexpr std::string_view kRefused = "refused: ";

struct Sequence {
  const char* name;
  std::vector<std::string> steps;
  // Words of DescribeWindowState's line that must all be in the final state's line.
  std::string expected;
};

class WindowModelTest : public testing::TestWithParam<Sequence> {};

TEST_P(WindowModelTest, EndsAsExpected) {
  WindowModel model;
  for (const std::string& text : GetParam().steps) {
    const bool refused = text.starts_with(kRefused);
    const std::string step_text = refused ? text.substr(kRefused.size()) : text;
    const std::optional<WindowStep> step = ParseWindowStep(step_text);
    ASSERT_TRUE(step) << "not a step: " << step_text;
    const WindowModelState before = model.state();
    EXPECT_EQ(model.Apply(*step), !refused) << step_text;
    if (refused) {
      EXPECT_EQ(model.state(), before) << "a refused step changed the state";
    }
  }
  const std::string described = DescribeWindowState(model.state());
  std::istringstream words(GetParam().expected);
  for (std::string word; words >> word;) {
    EXPECT_NE((" " + described + " ").find(" " + word + " "), std::string::npos)
        << "expected " << word << " in: " << described;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sequences, WindowModelTest, testing::Values(
    Sequence{"StartsHiddenWithoutARectangle", {}, "visible=0 restored=unknown resizable=1"},
    Sequence{"ShowOfAHiddenWindow", {"SHOW"}, "visible=1 minimized=0 topmost=0"},
    Sequence{"ShowTopmostThenShowLeavesTheTopBand", {"SHOWTOPMOST", "SHOW"}, "visible=1 topmost=0"},
    Sequence{"HideKeepsTheTopBandForTheNextMinimize", {"SHOWTOPMOST", "HIDE", "MINIMIZE"}, "visible=1 minimized=1 topmost=1"},
    Sequence{"MinimizedWindowIsNotHidden", {"SHOW", "MINIMIZE"}, "visible=1 minimized=1"},
    Sequence{"MinimizeOfAHiddenWindowShowsItMinimized", {"MINIMIZE"}, "visible=1 minimized=1"},
    Sequence{"GeometryHidesAndSetsTheRectangle", {"SHOW", "wm-place 10 10 778 1034", "GEOMETRY 100 200 700 1000"}, "visible=0 restored=100,200,700,1000"},
    Sequence{"GeometryThenMinimizeIsMinimizedAtThatRectangle", {"GEOMETRY 100 100 500 600", "MINIMIZE"}, "visible=1 minimized=1 restored=100,100,500,600"},
    Sequence{"GeometryTakesAWindowOutOfMaximized", {"SHOW", "wm-place 0 0 10 10", "user-maximize", "GEOMETRY 1 2 3 4", "MINIMIZE", "user-restore"}, "visible=1 minimized=0 maximized=0 restored=1,2,3,4"},
    Sequence{"UserRestoreAfterGeometryAndMinimizeShowsTheRectangle", {"GEOMETRY 100 100 500 600", "MINIMIZE", "user-restore"}, "visible=1 minimized=0 restored=100,100,500,600"},
    Sequence{"UserMoveAndResizeReplaceTheControllersRectangle", {"GEOMETRY 100 100 500 600", "MINIMIZE", "user-restore", "user-move 150 120 550 620", "user-resize 150 120 650 820", "QUIT"}, "closed=1 reported=1 restored=150,120,650,820"},
    Sequence{"ReportOfAMaximizedWindowIsItsRestoredRectangle", {"GEOMETRY 10 20 410 620", "SHOW", "user-maximize", "QUIT"}, "reported=1 restored=10,20,410,620"},
    Sequence{"ShowBringsAMaximizedWindowBackToItsRectangle", {"GEOMETRY 10 20 410 620", "SHOW", "user-maximize", "SHOW"}, "visible=1 maximized=0 restored=10,20,410,620"},
    Sequence{"RestoringAMinimizedMaximizedWindowMaximizesIt", {"SHOW", "wm-place 0 0 10 10", "user-maximize", "MINIMIZE", "user-restore"}, "minimized=0 maximized=1"},
    Sequence{"HiddenMaximizedWindowMinimizedThenRestoredIsMaximized", {"SHOW", "wm-place 0 0 10 10", "user-maximize", "HIDE", "MINIMIZE", "user-restore"}, "visible=1 minimized=0 maximized=1"},
    Sequence{"PlacementOnlyForAWindowWithoutARectangle", {"SHOW", "wm-place 5 6 7 8", "refused: wm-place 1 2 3 4"}, "restored=5,6,7,8"},
    Sequence{"NoPlacementWhileOffTheScreen", {"refused: wm-place 1 2 3 4", "MINIMIZE", "refused: wm-place 1 2 3 4"}, "restored=unknown"},
    Sequence{"NoResizeKeepsMovingButNotResizing", {"GEOMETRY 0 0 100 100", "SHOW", "NORESIZE", "refused: user-resize 0 0 200 200", "refused: user-maximize", "refused: user-minimize", "user-move 10 10 110 110"}, "resizable=0 restored=10,10,110,110"},
    Sequence{"NoResizeStillLetsTheControllerPlaceAndMinimize", {"SHOW", "NORESIZE", "GEOMETRY 0 0 300 400", "MINIMIZE"}, "visible=1 minimized=1 resizable=0 restored=0,0,300,400"},
    Sequence{"NoResizeTakesAWindowOutOfMaximized", {"GEOMETRY 0 0 100 100", "SHOW", "user-maximize", "MINIMIZE", "NORESIZE", "user-restore"}, "visible=1 minimized=0 maximized=0 restored=0,0,100,100"},
    Sequence{"NoDragOrCloseOfAHiddenWindow", {"refused: user-move 1 2 3 4", "refused: user-close", "refused: user-restore", "refused: user-minimize"}, "visible=0"},
    Sequence{"NoDragOfAMinimizedOrMaximizedWindow", {"GEOMETRY 0 0 100 100", "SHOW", "user-maximize", "refused: user-move 5 5 105 105", "refused: user-maximize", "user-minimize", "refused: user-move 5 5 105 105", "refused: user-minimize"}, "minimized=1 maximized=1 restored=0,0,100,100"},
    Sequence{"CloseWithHideOnCloseHides", {"SET-HIDE-ON-CLOSE 1", "SHOWTOPMOST", "user-close"}, "visible=0 closed=0 topmost=1"},
    Sequence{"CloseOfAMinimizedWindowWithHideOnCloseHides", {"SET-HIDE-ON-CLOSE 1", "MINIMIZE", "user-close", "SHOW"}, "visible=1 minimized=0 closed=0"},
    Sequence{"HideOnCloseWithoutAFlagChangesNothing", {"SET-HIDE-ON-CLOSE 1", "SET-HIDE-ON-CLOSE", "SHOW", "user-close"}, "visible=0 closed=0 hide_on_close=1"},
    Sequence{"HideOnCloseOtherFlagsClear", {"SET-HIDE-ON-CLOSE 1", "SET-HIDE-ON-CLOSE true", "SHOW", "user-close"}, "closed=1 reported=1"},
    Sequence{"CloseWithoutHideOnCloseReports", {"GEOMETRY 1 2 3 4", "SHOW", "user-close", "refused: SHOW"}, "closed=1 reported=1 visible=0 restored=1,2,3,4"},
    Sequence{"QuitClosesEvenWithHideOnClose", {"SET-HIDE-ON-CLOSE 1", "QUIT"}, "closed=1 reported=1 hide_on_close=0"},
    Sequence{"ControllerGoneClosesWithoutAReport", {"SET-HIDE-ON-CLOSE 1", "SHOW", "controller-gone", "refused: user-close"}, "closed=1 reported=0"},
    Sequence{"OtherCommandsLeaveTheWindowAlone", {"SHOW", "LOAD http://a.test/", "GETURL", "ISHIDDEN", "CLEAR", "RELOAD", "SET-ALLOWED-ORIGINS a|b"}, "visible=1 minimized=0 maximized=0 topmost=0 resizable=1 closed=0"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(WindowStepText, RefusesWhatIsNoStep) {
  for (const char* text : {"", "user-move 1 2 3", "user-maximize now", "wm-place", "show",
                           "GEOMETRY 1 2 3", "user-fly", "controller-gone 1"}) {
    EXPECT_FALSE(ParseWindowStep(text)) << text;
  }
  EXPECT_EQ(ParseWindowStep("GEOMETRY 12px -5 +7 0009"),
            WindowStep(Command(command::Geometry{{12, -5, 7, 9}})));
  EXPECT_EQ(ParseWindowStep("user-resize 1 2 3 4"),
            WindowStep(UserStep{UserAction::kResize, {1, 2, 3, 4}}));
}

}  // namespace
}  // namespace trb
