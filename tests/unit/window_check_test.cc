// Which corrections a window gets once the window manager has handled the commands: one case
// per way a window manager can leave the window, and that a window which agrees gets none.
#include "pipe/window_check.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace trb {
namespace {

constexpr NormalRect kPlace{100, 200, 700, 1000};
constexpr NormalRect kElsewhere{19, 0, 1200, 1600};

WantedWindow Shown() { return WantedWindow{.visible = true, .rect = {}}; }
ObservedWindow OnScreen() {
  return ObservedWindow{.managed = true, .viewable = true, .rect = kPlace};
}
ObservedWindow Iconic() { return ObservedWindow{.managed = true, .iconic = true, .rect = kPlace}; }

struct Case {
  const char* name;
  WantedWindow wanted;
  ObservedWindow observed;
  std::string expected;  // the corrections, in WindowCorrections' order
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string Describe(const WindowCorrections& fix) {
  std::string out;
  const auto add = [&](bool on, const char* name) {
    if (on) out += out.empty() ? name : std::string(" ") + name;
  };
  add(fix.withdraw, "withdraw");
  add(fix.show_again, "show_again");
  add(fix.iconify, "iconify");
  add(fix.activate, "activate");
  add(fix.unmaximize, "unmaximize");
  add(fix.band, "band");
  add(fix.place, "place");
  add(fix.look_again, "look_again");
  return out;
}

Case With(const char* name, WantedWindow wanted, ObservedWindow observed, std::string expected) {
  return Case{name, wanted, observed, std::move(expected)};
}

class CorrectWindowTest : public testing::TestWithParam<Case> {};

TEST_P(CorrectWindowTest, AsksWhatDiffers) {
  const WindowCorrections fix = CorrectWindow(GetParam().wanted, GetParam().observed);
  EXPECT_EQ(Describe(fix), GetParam().expected);
  EXPECT_EQ(fix.any(), !GetParam().expected.empty());
}

WantedWindow Minimized() {
  WantedWindow w = Shown();
  w.minimized = true;
  return w;
}
WantedWindow Placed(NormalRect rect) {
  WantedWindow w = Shown();
  w.unmaximized = true;
  w.rect = rect;
  return w;
}
WantedWindow Topmost() {
  WantedWindow w = Shown();
  w.topmost = true;
  return w;
}
ObservedWindow Maximized(ObservedWindow o) {
  o.maximized = true;
  o.rect = kElsewhere;
  return o;
}
ObservedWindow Above(ObservedWindow o) {
  o.above = true;
  return o;
}
ObservedWindow At(NormalRect rect) {
  ObservedWindow o = OnScreen();
  o.rect = rect;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CorrectWindowTest,
    testing::Values(
        With("hidden_and_withdrawn", WantedWindow{}, ObservedWindow{}, ""),
        With("hidden_but_still_managed", WantedWindow{}, OnScreen(), "withdraw"),
        With("hidden_but_still_minimised", WantedWindow{}, Iconic(), "withdraw"),
        With("shown_and_on_the_screen", Shown(), OnScreen(), ""),
        With("shown_but_lost", Shown(), ObservedWindow{}, "show_again"),
        With("minimised_into_the_taskbar_on_its_way", Minimized(), ObservedWindow{}, "look_again"),
        With("shown_but_minimised", Shown(), Iconic(), "activate"),
        With("minimised_but_on_the_screen", Minimized(), OnScreen(), "iconify"),
        With("minimised_and_minimised", Minimized(), Iconic(), ""),
        With("minimised_maximised_window_keeps_maximised", Minimized(), Maximized(Iconic()), ""),
        With("restored_but_maximised", Placed(kPlace), Maximized(OnScreen()), "unmaximize"),
        With("restored_but_minimised_and_maximised", Placed(kPlace), Maximized(Iconic()),
             "activate unmaximize"),
        With("maximised_by_the_user_is_left_alone", Shown(), Maximized(OnScreen()), ""),
        With("placed_but_elsewhere", Placed(kPlace), At(kElsewhere), "place"),
        With("placed_and_there", Placed(kPlace), At(kPlace), ""),
        With(
            "placed_but_minimised_is_brought_back_first", Placed(kPlace),
            [] {
              ObservedWindow o = Iconic();
              o.rect = kElsewhere;
              return o;
            }(),
            "activate"),
        With("no_place_chosen_is_anywhere", Shown(), At(kElsewhere), ""),
        With("topmost_but_not_above", Topmost(), OnScreen(), "band"),
        With("ordinary_but_above", Shown(), Above(OnScreen()), "band"),
        With("topmost_and_above", Topmost(), Above(OnScreen()), ""),
        With(
            "topmost_minimised_keeps_the_band",
            [] {
              WantedWindow w = Minimized();
              w.topmost = true;
              return w;
            }(),
            Above(Iconic()), "")),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace trb
