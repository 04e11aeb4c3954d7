// The client of every browser: life span, titles, close and hide, popups, and the wiring of
// the navigation, load-error and download decisions. One main handler per process (the one
// the pipe thread reaches through g_main_handler) and one per popup.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/engine.h"
#include "pipe/events.h"
#include "pipe/target.h"
#include "policy/crash_reloads.h"
#include "policy/hand_off_limiter.h"

namespace trb {

// How the handler starts and stops the pipe thread; tests observe the calls.
struct PipeThreadControl {
  std::function<void()> start;
  std::function<void()> stop;
};

// The window title of the main browser until a page sets another, and of new popups.
inline constexpr const char* kMainWindowTitle = "Tavrin WebBrowser";
inline constexpr const char* kPopupWindowTitle = "New Browser Window";

class BrowserHandler;

// How the popups of a browser are governed; every popup passes its rule on to its own.
struct PopupRule {
  // --restrict-popups: every navigation of every popup obeys the main browser's allow-list.
  bool restricted = false;
  // The handler whose allow-list decides this handler's navigations; none: its own (the main
  // browser's list, or the empty list of a popup that is not restricted).
  std::shared_ptr<const BrowserHandler> governor;
  // Paces own-scheme hand-offs, one pace for every window of the process; made when none.
  std::shared_ptr<HandOffLimiter> hand_offs;
};

class BrowserHandler : public MainHandler,
                       public host::BrowserEvents,
                       public std::enable_shared_from_this<BrowserHandler> {
 public:
  // `popups` says how this handler's popups are governed and paced. `events`, when given,
  // hears what happens (popups pass it on to theirs): everything of the main window, and the
  // popups and hand-offs of every window.
  BrowserHandler(host::Engine& engine, PipeThreadControl pipe, bool use_views, bool is_main,
                 PopupRule popups = {}, std::shared_ptr<EventSink> events = nullptr);
  ~BrowserHandler() override;
  BrowserHandler(const BrowserHandler&) = delete;
  BrowserHandler& operator=(const BrowserHandler&) = delete;

  // Main handler, before the browser exists: after the page's renderer dies, reload the
  // last page the navigation decision let in, `delay` later (paced by CrashReloads).
  void ReloadAfterCrash(std::chrono::milliseconds delay) { reload_delay_ = delay; }

  bool is_main() const { return is_main_; }
  bool use_views() const { return use_views_; }
  size_t browser_count() const { return browser_list_.size(); }

  // MainHandler (pipe thread)
  Target ResolveTarget() override;

  // Life span
  void OnAfterCreated(const std::shared_ptr<host::BrowserView>& browser) override;
  bool DoClose(host::BrowserView& browser) override;
  void OnBeforeClose(host::BrowserView& browser) override;
  void OnBeforePopup(host::BrowserView& browser, const std::string& target_url) override;

  // Display
  void OnTitleChange(host::BrowserView& browser, const std::string& title) override;
  void OnAddressChange(host::BrowserView& browser, const std::string& url) override;
  void OnWindowStateChange(host::BrowserView& browser, host::WindowState state) override;

  // Navigation
  bool OnBeforeBrowse(host::BrowserView& browser, host::Frame& frame, const std::string& url,
                      bool is_redirect) override;

  // Load
  void OnLoadError(host::BrowserView& browser, host::Frame& frame, int32_t code,
                   const std::string& text, const std::string& failed_url) override;
  void OnLoadEnd(host::BrowserView& browser, const std::string& url) override;
  void OnRenderProcessTerminated(host::BrowserView& browser, host::Frame& frame,
                                 host::RendererEnd how, int exit_code,
                                 const std::string& url) override;

  // Download
  void OnBeforeDownload(host::BrowserView& browser, const std::string& suggested_name,
                        host::DownloadCallback& callback) override;

 private:
  void AssertUiThread() const;
  // Passes the event `encode()` makes on to the events sink, if there is one, and only then
  // encodes it.
  template <typename Encode>
  void Report(Encode encode) {
    if (events_) events_->Post(encode());
  }
  // Shows a generated page in `frame` instead of what it was loading.
  void ShowGeneratedPage(host::Frame& frame, const std::string& page_url);
  void ReloadIfStillDue(uint64_t ticket);

  host::Engine& engine_;
  PipeThreadControl pipe_;
  // The main browser while it lives; the first entry is what every pipe command acts on.
  // Changed on the UI thread only before the pipe thread starts and after it has ended.
  std::vector<std::shared_ptr<host::BrowserView>> browser_list_;
  const bool use_views_;
  const bool is_main_;
  const PopupRule popups_;
  const std::shared_ptr<EventSink> events_;

  // Renderer recovery (main handler, UI thread only).
  std::optional<std::chrono::milliseconds> reload_delay_;
  CrashReloads crash_reloads_;
  std::string last_accepted_url_;  // the main frame's last navigation the decision let in
  std::string generated_page_;     // a generated page on its way into the main frame
};

}  // namespace trb
