#include "fake_browser.h"

namespace trb::testing_support {

Target FakeBrowser::ResolveTarget() {
  ++resolve_count_;
  if (!has_browser) return {};
  // Owned by the test: the pointer keeps nothing alive.
  return {std::shared_ptr<Browser>(std::shared_ptr<void>(), this),
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
  if (command) window_model.Apply(*command);
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
  return window_model.state().hidden();
}

NormalRect FakeBrowser::GetNormalRect() {
  Record("GetNormalRect");
  std::lock_guard lock(mutex_);
  return window_model.state().restored.value_or(kUnplacedRect);
}

}  // namespace trb::testing_support
