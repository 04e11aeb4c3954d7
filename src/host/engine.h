// The engine boundary: what the application needs from a browser engine and its top-level
// windows, and the events the engine reports back. One implementation per engine (Qt
// WebEngine here); unit tests use a fake. Everything here lives on the engine's UI thread,
// except BrowserState, which exists to be read from other threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "pipe/window.h"

namespace trb::host {

// How a top-level window stands, as its user sees it. A minimised window is not hidden.
enum class WindowState { kShown, kHidden, kMinimized };

// How a page's renderer process ended, when it did not end normally.
enum class RendererEnd { kAbnormal, kCrashed, kKilled };

// A frame of a browser, as handed to a navigation or load-error event.
class Frame {
 public:
  virtual ~Frame() = default;
  virtual bool IsMain() const = 0;
  // Replaces the frame's document with `url` (the generated pages are data: URLs). An engine
  // that cannot navigate the frame directly must still show that document in it.
  virtual void LoadURL(const std::string& url) = 0;
};

// The top-level window that holds a browser: the window commands' operations (pipe/window.h,
// the same interface the pipe thread calls), plus the title and the icon.
class HostWindow : public Window {
 public:
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetAppIcon() = 0;  // the application's icon, every size it has
};

// What a browser currently shows of itself, readable from any thread. The engine updates it
// on its UI thread at every change (the committed URL, the window's visibility), so the
// controller's queries are answered without a trip to the UI thread.
class BrowserState {
 public:
  bool hidden() const { return hidden_.load(std::memory_order_acquire); }
  std::string url() const {
    std::lock_guard lock(mutex_);
    return url_;
  }
  void set_hidden(bool hidden) { hidden_.store(hidden, std::memory_order_release); }
  void set_url(std::string url) {
    std::lock_guard lock(mutex_);
    url_ = std::move(url);
  }

 private:
  std::atomic<bool> hidden_{true};
  mutable std::mutex mutex_;
  std::string url_;
};

// One browser: a page in its own top-level window.
class BrowserView {
 public:
  virtual ~BrowserView() = default;
  virtual void LoadURL(const std::string& url) = 0;  // main frame
  virtual void Reload() = 0;
  // Runs the close sequence: DoClose may cancel it; otherwise the window goes and
  // OnBeforeClose follows. Safe to call on a browser that has already closed (no effect).
  virtual void Close() = 0;
  virtual bool IsClosed() const = 0;
  virtual HostWindow& Window() = 0;
  // Set when the browser is made and never replaced, so any thread may copy it.
  virtual std::shared_ptr<const BrowserState> State() const = 0;
};

// The answer to a download: carry on (the engine asks where to save, starting from
// `suggested_name`) or drop it.
class DownloadCallback {
 public:
  virtual ~DownloadCallback() = default;
  virtual void Continue(const std::string& suggested_name, bool show_dialog) = 0;
};

// The events of one browser. The engine calls them on its UI thread.
class BrowserEvents {
 public:
  virtual ~BrowserEvents() = default;
  virtual void OnAfterCreated(const std::shared_ptr<BrowserView>& browser) = 0;
  virtual void OnTitleChange(BrowserView& browser, const std::string& title) = 0;
  // The main frame's committed URL changed (State() already tells the new one).
  virtual void OnAddressChange(BrowserView& browser, const std::string& url) = 0;
  // The window was shown, hidden, minimised or restored, by the program or by its user
  // (State() already tells whether it is hidden).
  virtual void OnWindowStateChange(BrowserView& browser, WindowState state) = 0;
  // True keeps the browser open.
  virtual bool DoClose(BrowserView& browser) = 0;
  virtual void OnBeforeClose(BrowserView& browser) = 0;
  // Every navigation of every frame, redirects included. True cancels it.
  virtual bool OnBeforeBrowse(BrowserView& browser, Frame& frame, const std::string& url,
                              bool is_redirect) = 0;
  // A failed load, with the engine's net error code and text.
  virtual void OnLoadError(BrowserView& browser, Frame& frame, int32_t code,
                           const std::string& text, const std::string& failed_url) = 0;
  // The main frame finished loading `url` (an HTTP error page counts as loaded).
  virtual void OnLoadEnd(BrowserView& browser, const std::string& url) = 0;
  // The page's renderer process died under `url`, shown in `frame` (the main frame);
  // `exit_code` is the process's own.
  virtual void OnRenderProcessTerminated(BrowserView& browser, Frame& frame, RendererEnd how,
                                         int exit_code, const std::string& url) = 0;
  // A page asked for a new window. The engine opens none of its own.
  virtual void OnBeforePopup(BrowserView& browser, const std::string& target_url) = 0;
  virtual void OnBeforeDownload(BrowserView& browser, const std::string& suggested_name,
                                DownloadCallback& callback) = 0;
};

// How a new browser's window starts.
struct NewWindow {
  std::string title;
  bool visible = false;
};

// The engine itself: creates browsers, owns the UI loop, reaches the desktop.
class Engine {
 public:
  virtual ~Engine() = default;
  // Creates a browser in a new top-level window; OnAfterCreated follows once it exists.
  // `events` stays alive as long as the browser.
  virtual void CreateBrowser(const NewWindow& new_window, std::shared_ptr<BrowserEvents> events,
                             const std::string& url) = 0;
  virtual void QuitMessageLoop() = 0;
  // Runs `task` on the UI thread soon; callable from any thread.
  virtual void PostTask(std::function<void()> task) = 0;
  // Runs `task` on the UI thread once `delay` has passed; UI thread only.
  virtual void PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) = 0;
  // Hands a URL to the desktop's handler for its scheme; the result is not used.
  virtual void OpenExternal(const std::string& url) = 0;
  virtual bool OnUiThread() const = 0;
};

}  // namespace trb::host
