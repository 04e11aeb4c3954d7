// The main browser, its window and its handler without an engine: records every call as a line
// ("LoadURL <url>", "SetNormalRect t l b r", ...); the queries answer from the window model.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pipe/target.h"
#include "pipe/window_model.h"

namespace trb::testing_support {

class FakeBrowser : public Browser, public Window, public MainHandler {
 public:
  Target ResolveTarget() override;
  void LoadURL(const std::string& url) override { Record("LoadURL " + url); }
  void Reload() override { Record("Reload"); }
  std::string GetURL() override;
  void CloseBrowser(bool force) override { Record(force ? "CloseBrowser 1" : "CloseBrowser 0"); }
  void ShowWindowNormal() override { Record("ShowWindowNormal", command::Show{}); }
  void ShowWindowTopmost() override { Record("ShowWindowTopmost", command::ShowTopmost{}); }
  void HideWindow() override { Record("HideWindow", command::Hide{}); }
  void MinimizeWindow() override { Record("MinimizeWindow", command::Minimize{}); }
  void SetNormalRect(const NormalRect& rect) override;
  void ForbidResize() override { Record("ForbidResize", command::NoResize{}); }
  bool IsWindowHidden() override;
  NormalRect GetNormalRect() override;

  std::vector<std::string> Calls();
  int resolve_count() const { return resolve_count_.load(); }

  // Runs before every recorded call with its name, on the calling thread.
  std::function<void(const std::string& name)> before_call;
  std::atomic<bool> has_browser{true};  // false: ResolveTarget finds no browser
  std::string url = "about:fake";

 private:
  void Record(const std::string& line, const std::optional<Command>& command = std::nullopt);

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::atomic<int> resolve_count_{0};
  WindowModel window_model_;
};

struct ScopedMainHandler {  // `handler` is g_main_handler for the life of this object
  explicit ScopedMainHandler(MainHandler* handler) { g_main_handler.store(handler); }
  ~ScopedMainHandler() { g_main_handler.store(nullptr); }
};

}  // namespace trb::testing_support
