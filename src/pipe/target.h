// What the pipe thread acts on: the main browser, its top-level window and the two settings
// of the main browser's handler. The host implements these; tests use fakes.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "pipe/window.h"
#include "policy/allowed_origins.h"

namespace trb {

// The browser operations the commands use. Called on the pipe thread; an implementation
// whose engine is bound to another thread marshals the call there.
class Browser {
 public:
  virtual ~Browser() = default;
  virtual void LoadURL(const std::string& url) = 0;  // main frame
  virtual void Reload() = 0;
  virtual std::string GetURL() = 0;  // main frame's committed URL, UTF-8
  // Asks the browser to close and returns without waiting for it: the close runs the
  // handler's close sequence, which waits for the pipe thread to end.
  virtual void CloseBrowser(bool force) = 0;
};

// The browser a command acts on and its window, resolved afresh for every command.
struct Target {
  std::shared_ptr<Browser> browser;
  WindowAccess window;  // empty when there is no browser
  // ISHIDDEN's answer as the window's thread last published it, for answering without the
  // trip there. Empty: ISHIDDEN asks the window through `window`.
  std::function<bool()> window_hidden;
};

// The part of the main browser's handler the pipe thread reaches. The handler sets
// g_main_handler when it is created and clears it when it goes.
class MainHandler {
 public:
  virtual ~MainHandler() = default;
  // The first entry of the browser list and its window; empty when the list is.
  virtual Target ResolveTarget() = 0;

  std::atomic<bool> hide_on_close_{false};
  AllowedOrigins allowed_origins_;
};

extern std::atomic<MainHandler*> g_main_handler;

}  // namespace trb
