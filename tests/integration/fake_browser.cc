#include "fake_browser.h"

#include <thread>

namespace trb::testing_support {

FakeMainHandler::FakeMainHandler()
    : browser_(std::make_shared<FakeBrowser>(*this)),
      window_(std::make_shared<FakeWindow>(*this)) {}

Target FakeMainHandler::ResolveTarget() {
  ++resolve_count_;
  if (!has_browser) return {};
  return {browser_, [window = window_](const WindowCall& call) { call(*window); }, {}};
}

std::vector<std::string> FakeMainHandler::Calls() {
  std::lock_guard lock(mutex_);
  return calls_;
}

bool FakeMainHandler::WaitResolveCount(int count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (resolve_count_.load() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void FakeMainHandler::Record(const std::string& name, const std::string& line) {
  if (before_call) before_call(name);
  std::lock_guard lock(mutex_);
  calls_.push_back(line);
}

void FakeBrowser::LoadURL(const std::string& url) {
  owner_.Record("LoadURL", "LoadURL " + url);
  std::lock_guard lock(owner_.mutex_);
  owner_.url = url;
}

void FakeBrowser::Reload() { owner_.Record("Reload", "Reload"); }

std::string FakeBrowser::GetURL() {
  owner_.Record("GetURL", "GetURL");
  std::lock_guard lock(owner_.mutex_);
  return owner_.url;
}

void FakeBrowser::CloseBrowser(bool force) {
  owner_.Record("CloseBrowser", force ? "CloseBrowser 1" : "CloseBrowser 0");
}

void FakeWindow::Run(const std::string& line, const Command& command) {
  owner_.Record(line.substr(0, line.find(' ')), line);
  std::lock_guard lock(owner_.mutex_);
  owner_.window_model.Apply(command);
}

void FakeWindow::ShowWindowNormal() { Run("ShowWindowNormal", command::Show{}); }

void FakeWindow::ShowWindowTopmost() { Run("ShowWindowTopmost", command::ShowTopmost{}); }

void FakeWindow::HideWindow() { Run("HideWindow", command::Hide{}); }

void FakeWindow::MinimizeWindow() { Run("MinimizeWindow", command::Minimize{}); }

void FakeWindow::SetNormalRect(const NormalRect& rect) {
  Run("SetNormalRect " + std::to_string(rect.top) + " " + std::to_string(rect.left) + " " +
          std::to_string(rect.bottom) + " " + std::to_string(rect.right),
      command::Geometry{rect});
}

void FakeWindow::ForbidResize() { Run("ForbidResize", command::NoResize{}); }

bool FakeWindow::IsWindowHidden() {
  owner_.Record("IsWindowHidden", "IsWindowHidden");
  std::lock_guard lock(owner_.mutex_);
  return owner_.window_model.state().hidden();
}

NormalRect FakeWindow::GetNormalRect() {
  owner_.Record("GetNormalRect", "GetNormalRect");
  std::lock_guard lock(owner_.mutex_);
  return owner_.window_model.state().restored.value_or(FakeMainHandler::kUnplacedRect);
}

}  // namespace trb::testing_support
