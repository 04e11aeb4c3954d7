// The window model as a program, so that the randomised end-to-end test asks the browser's
// own model what to expect instead of keeping a second copy of it. Reads one step a line
// (ParseWindowStep's texts) and answers each with one line:
//   ok <state> offers=<actions>     the step happened
//   skip <state> offers=<actions>   the step cannot happen in this state (nothing changed)
//   bad <line>                      not a step
// <state> is DescribeWindowState's line; <actions> lists the user actions the window manager
// offers now, comma-separated ("move,resize,maximize,restore,minimize,close"; "-" for none).
#include <iostream>
#include <string>

#include "pipe/window_model.h"

namespace {

std::string Offers(const trb::WindowModel& model) {
  static constexpr struct {
    trb::UserAction action;
    const char* name;
  } kActions[] = {{trb::UserAction::kMove, "move"},         {trb::UserAction::kResize, "resize"},
                  {trb::UserAction::kMaximize, "maximize"}, {trb::UserAction::kRestore, "restore"},
                  {trb::UserAction::kMinimize, "minimize"}, {trb::UserAction::kClose, "close"}};
  std::string offers;
  for (const auto& a : kActions) {
    trb::WindowModel trial = model;
    if (!trial.Apply(trb::UserStep{a.action, {}})) continue;
    if (!offers.empty()) offers += ",";
    offers += a.name;
  }
  return offers.empty() ? "-" : offers;
}

}  // namespace

int main() {
  trb::WindowModel model;
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::optional<trb::WindowStep> step = trb::ParseWindowStep(line);
    if (!step) {
      std::cout << "bad " << line << std::endl;
      continue;
    }
    const bool applied = model.Apply(*step);
    std::cout << (applied ? "ok " : "skip ") << trb::DescribeWindowState(model.state())
              << " offers=" << Offers(model) << std::endl;
  }
  return 0;
}
