// A stand-in for the main browser, its window and its handler that records every call, for
// driving the pipe controller without a browser engine.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipe/target.h"
#include "pipe/window_model.h"

namespace trb::testing_support {

class FakeMainHandler;

class FakeBrowser : public Browser {
 public:
  explicit FakeBrowser(FakeMainHandler& owner) : owner_(owner) {}
  void LoadURL(const std::string& url) override;
  void Reload() override;
  std::string GetURL() override;
  void CloseBrowser(bool force) override;

 private:
  FakeMainHandler& owner_;
};

class FakeWindow : public Window {
 public:
  explicit FakeWindow(FakeMainHandler& owner) : owner_(owner) {}
  void ShowWindowNormal() override;
  void ShowWindowTopmost() override;
  void HideWindow() override;
  void MinimizeWindow() override;
  void SetNormalRect(const NormalRect& rect) override;
  void ForbidResize() override;
  bool IsWindowHidden() override;
  NormalRect GetNormalRect() override;

 private:
  void Run(const std::string& line, const Command& command);
  FakeMainHandler& owner_;
};

// Records calls as text lines ("LoadURL <url>", "CloseBrowser 1", "SetNormalRect t l b r",
// ...) and keeps the window's state in the window model, so that queries answer what earlier
// commands did.
class FakeMainHandler : public MainHandler {
 public:
  FakeMainHandler();
  Target ResolveTarget() override;

  std::vector<std::string> Calls();
  int resolve_count() const { return resolve_count_.load(); }
  // Waits (bounded) until ResolveTarget has been called `count` times.
  bool WaitResolveCount(int count, std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Runs before every recorded browser or window call, with the call's name, on the calling
  // thread. Set before the pipe thread starts.
  std::function<void(const std::string& name)> before_call;
  // When false, ResolveTarget gives an empty target, as without a browser.
  std::atomic<bool> has_browser{true};

  // State the queries report. The report of a window never placed gives kUnplacedRect.
  static constexpr NormalRect kUnplacedRect{100, 200, 700, 1000};
  std::string url = "about:fake";
  WindowModel window_model;

 private:
  friend class FakeBrowser;
  friend class FakeWindow;
  void Record(const std::string& name, const std::string& line);

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::atomic<int> resolve_count_{0};
  std::shared_ptr<FakeBrowser> browser_;
  std::shared_ptr<FakeWindow> window_;
};

// Makes `handler` the process's g_main_handler for the life of this object.
class ScopedMainHandler {
 public:
  explicit ScopedMainHandler(MainHandler* handler) { g_main_handler.store(handler); }
  ~ScopedMainHandler() { g_main_handler.store(nullptr); }
  ScopedMainHandler(const ScopedMainHandler&) = delete;
  ScopedMainHandler& operator=(const ScopedMainHandler&) = delete;
};

}  // namespace trb::testing_support
