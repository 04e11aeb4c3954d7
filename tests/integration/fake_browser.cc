#include "fake_browser.h"

#include <thread>

namespace trb::testing_support {

FakeMainHandler::FakeMainHandler()
    : browser_(std::make_shared<FakeBrowser>(*this)),
      window_(std::make_shared<FakeWindow>(*this)) {}

Target FakeMainHandler::ResolveTarget() {
  ++resolve_count_;
  if (!has_browser) return {};
  return {browser_, window_};
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

void FakeWindow::ShowWindowNormal() {
  owner_.Record("ShowWindowNormal", "ShowWindowNormal");
  std::lock_guard lock(owner_.mutex_);
  owner_.hidden = false;
}

void FakeWindow::ShowWindowTopmost() {
  owner_.Record("ShowWindowTopmost", "ShowWindowTopmost");
  std::lock_guard lock(owner_.mutex_);
  owner_.hidden = false;
}

void FakeWindow::HideWindow() {
  owner_.Record("HideWindow", "HideWindow");
  std::lock_guard lock(owner_.mutex_);
  owner_.hidden = true;
}

void FakeWindow::MinimizeWindow() {
  owner_.Record("MinimizeWindow", "MinimizeWindow");
  std::lock_guard lock(owner_.mutex_);
  owner_.hidden = false;  // minimised counts as visible
}

void FakeWindow::SetNormalRect(const NormalRect& rect) {
  owner_.Record("SetNormalRect", "SetNormalRect " + std::to_string(rect.top) + " " +
                                     std::to_string(rect.left) + " " + std::to_string(rect.bottom) +
                                     " " + std::to_string(rect.right));
  std::lock_guard lock(owner_.mutex_);
  owner_.rect = rect;
  owner_.hidden = true;
}

void FakeWindow::ForbidResize() { owner_.Record("ForbidResize", "ForbidResize"); }

bool FakeWindow::IsWindowHidden() {
  owner_.Record("IsWindowHidden", "IsWindowHidden");
  std::lock_guard lock(owner_.mutex_);
  return owner_.hidden;
}

NormalRect FakeWindow::GetNormalRect() {
  owner_.Record("GetNormalRect", "GetNormalRect");
  std::lock_guard lock(owner_.mutex_);
  return owner_.rect;
}

}  // namespace trb::testing_support
