// A stand-in for the main browser, its window and its handler, for driving the pipe without a
// browser engine: records every call as a line ("LoadURL <url>", "CloseBrowser 1",
// "SetNormalRect t l b r", ...) and answers the queries from what earlier calls did (the
// window's state is the window model's).
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

  // Runs before every recorded call, with the call's name, on the calling thread. Set before
  // the pipe thread starts.
  std::function<void(const std::string& name)> before_call;
  std::atomic<bool> has_browser{true};  // false: ResolveTarget finds no browser
  // What the queries answer; a window never placed reports kUnplacedRect.
  static constexpr NormalRect kUnplacedRect{100, 200, 700, 1000};
  std::string url = "about:fake";
  WindowModel window_model;

 private:
  void Record(const std::string& line, const std::optional<Command>& command = std::nullopt);

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::atomic<int> resolve_count_{0};
};

using FakeMainHandler = FakeBrowser;  // the earlier name of the handler's part

// Makes `handler` the process's g_main_handler for the life of this object.
struct ScopedMainHandler {
  explicit ScopedMainHandler(MainHandler* handler) { g_main_handler.store(handler); }
  ~ScopedMainHandler() { g_main_handler.store(nullptr); }
};

}  // namespace trb::testing_support
