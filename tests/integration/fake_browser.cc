#include "fake_browser.h"

namespace trb::testing_support {

Target FakeBrowser::ResolveTarget() {
  ++resolve_count_;
  if (!has_browser) return {};
  return {std::shared_ptr<Browser>(std::shared_ptr<void>(), this),  // owns nothing
          [this](const WindowCall& call) { call(*this); },
          {}};
}

std::vector<std::string> FakeBrowser::Calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeBrowser::Record(const std::string& line, const std::optional<Command>& command) {
  if (before_call) before_call(line.substr(0, line.find(' ')));
  std::lock_guard lock(mutex_);
  calls_.push_back(line);
  if (command) window_model_.Apply(*command);
  if (line.starts_with("LoadURL ")) url = line.substr(8);
}

std::string FakeBrowser::GetURL() {
  Record("GetURL");
  std::lock_guard lock(mutex_);
  return url;
}

void FakeBrowser::SetNormalRect(const NormalRect& r) {
  Record("SetNormalRect " + std::to_string(r.top) + " " + std::to_string(r.left) + " " +
             std::to_string(r.bottom) + " " + std::to_string(r.right),
         command::Geometry{r});
}

bool FakeBrowser::IsWindowHidden() {
  Record("IsWindowHidden");
  std::lock_guard lock(mutex_);
  return window_model_.state().hidden();
}

NormalRect FakeBrowser::GetNormalRect() {  // a window never placed: kDefaultReport's
  Record("GetNormalRect");
  std::lock_guard lock(mutex_);
  return window_model_.state().restored.value_or(NormalRect{100, 200, 700, 1000});
}

}  // namespace trb::testing_support
