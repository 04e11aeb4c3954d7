// The browser's own window model as a program, so that the end-to-end window test asks it what
// to expect rather than keep a second copy. A step a line (ParseWindowStep's texts) in; out
// "ok|skip <DescribeWindowState line> offers=<user actions offered now, or ->", or "bad <line>".
#include <iostream>
#include <string>

#include "pipe/window_model.h"

int main() {
  static const char* const kActions[] = {"move",    "resize",   "maximize",
                                         "restore", "minimize", "close"};  // UserAction's order
  trb::WindowModel model;
  for (std::string line; std::getline(std::cin, line);) {
    const std::optional<trb::WindowStep> step = trb::ParseWindowStep(line);
    if (!step) {
      std::cout << "bad " << line << std::endl;
      continue;
    }
    std::cout << (model.Apply(*step) ? "ok " : "skip ") << trb::DescribeWindowState(model.state());
    std::string offers;
    for (int i = 0; i < 6; ++i) {
      trb::WindowModel trial = model;
      if (trial.Apply(trb::UserStep{trb::UserAction(i), {}}))
        offers += (offers.empty() ? "" : ",") + std::string(kActions[i]);
    }
    std::cout << " offers=" << (offers.empty() ? "-" : offers) << std::endl;
  }
}
