// A stand-in for the main browser, its window and its handler, for driving the pipe without a
// browser engine: records every call as a line ("LoadURL <url>", "CloseBrowser 1",
// "SetNormalRect t l b r", ...) and answers queries from what earlier commands did, the
// window's state kept by the window model.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pipe/target.h"
#include "pipe/window_model.h"

namespace trb::testing_support {

class FakeBrowser : public Browser, public Window, public MainHandler {
 public:
  Target ResolveTarget() override;

  void LoadURL(const std::string& url) override;
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
  // Waits (bounded) until ResolveTarget has been called `count` times.
  bool WaitResolveCount(int count, std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Runs before every recorded call, with the call's name, on the calling thread. Set before
  // the pipe thread starts.
  std::function<void(const std::string& name)> before_call;
  // When false, ResolveTarget gives an empty target, as without a browser.
  std::atomic<bool> has_browser{true};
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

using FakeMainHandler = FakeBrowser;  // the handler is the browser is the window

// Makes `handler` the process's g_main_handler for the life of this object.
class ScopedMainHandler {
 public:
  explicit ScopedMainHandler(MainHandler* handler) { g_main_handler.store(handler); }
  ~ScopedMainHandler() { g_main_handler.store(nullptr); }
  ScopedMainHandler(const ScopedMainHandler&) = delete;
  ScopedMainHandler& operator=(const ScopedMainHandler&) = delete;
};

}  // namespace trb::testing_support
