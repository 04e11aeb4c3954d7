#include "app/browser_handler.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>

#include "app/pipe_target.h"
#include "policy/decisions.h"
#include "policy/pages.h"

namespace trb {

namespace {

PopupRule WithPace(PopupRule rule) {
  if (!rule.hand_offs) rule.hand_offs = std::make_shared<HandOffLimiter>();
  return rule;
}

}  // namespace

BrowserHandler::BrowserHandler(host::Engine& engine, PipeThreadControl pipe, bool use_views,
                               bool is_main, PopupRule popups, std::shared_ptr<EventSink> events)
    : engine_(engine),
      pipe_(std::move(pipe)),
      use_views_(use_views),
      is_main_(is_main),
      popups_(WithPace(std::move(popups))),
      events_(std::move(events)) {
  if (is_main_) g_main_handler.store(this);
}

BrowserHandler::~BrowserHandler() {
  if (is_main_) {
    MainHandler* self = this;
    g_main_handler.compare_exchange_strong(self, nullptr);
  }
}

void BrowserHandler::AssertUiThread() const {
  // Engine objects die when touched from another thread; fail loudly in every build.
  if (!engine_.OnUiThread()) {
    std::fputs("trbrowser: internal error: browser callback off the UI thread\n", stderr);
    std::abort();
  }
}

Target BrowserHandler::ResolveTarget() {
  // Pipe thread. The list does not change while the pipe thread runs (see DoClose).
  if (browser_list_.empty()) return {};
  // A page the controller asks for replaces the one a reload would bring back.
  return MakeUiTarget(engine_, browser_list_.front(), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->crash_reloads_.Cancel();
  });
}

// ---- Life span ----

void BrowserHandler::OnAfterCreated(const std::shared_ptr<host::BrowserView>& browser) {
  AssertUiThread();
  browser->Window().SetAppIcon();
  if (!is_main_) return;
  browser->LoadURL(DefaultPageURL());
  // In the list before the pipe thread can look at it.
  browser_list_.push_back(browser);
  if (pipe_.start) pipe_.start();
}

bool BrowserHandler::DoClose(host::BrowserView& browser) {
  AssertUiThread();
  if (!is_main_) return false;
  if (hide_on_close_.load()) {
    crash_reloads_.Cancel();
    browser.LoadURL(DefaultPageURL());
    browser.Window().HideWindow();
    return true;
  }
  // Returns once the pipe thread has written its final report and ended, so the list is
  // only changed (OnBeforeClose) when nothing else reads it.
  if (pipe_.stop) pipe_.stop();
  return false;
}

void BrowserHandler::OnBeforeClose(host::BrowserView& browser) {
  AssertUiThread();
  if (!is_main_) return;
  for (auto it = browser_list_.begin(); it != browser_list_.end(); ++it) {
    if (it->get() == &browser) {
      browser_list_.erase(it);
      break;
    }
  }
  if (browser_list_.empty()) engine_.QuitMessageLoop();
}

void BrowserHandler::OnBeforePopup(host::BrowserView& /*browser*/, const std::string& target_url) {
  AssertUiThread();
  // Every popup, whoever opens it, is an independent window with a handler of its own whose
  // own allow-list stays empty. Restricted popups obey the main browser's list instead: this
  // handler's, or, when this is a popup itself, the one it obeys.
  Report([&] { return events::Popup(target_url); });
  PopupRule rule = popups_;
  if (rule.restricted && !rule.governor) rule.governor = shared_from_this();
  auto handler = std::make_shared<BrowserHandler>(engine_, PipeThreadControl{}, false, false,
                                                  std::move(rule), events_);
  engine_.CreateBrowser(host::NewWindow{kPopupWindowTitle, /*visible=*/true}, handler, target_url);
}

// ---- Display ----

void BrowserHandler::OnTitleChange(host::BrowserView& browser, const std::string& title) {
  AssertUiThread();
  // Native and views windows are both top-level windows here; the title goes on unchanged.
  browser.Window().SetTitle(title);
  if (is_main_) Report([&] { return events::Title(title); });
}

void BrowserHandler::OnAddressChange(host::BrowserView& /*browser*/, const std::string& url) {
  AssertUiThread();
  if (is_main_) Report([&] { return events::Url(url); });
}

void BrowserHandler::OnWindowStateChange(host::BrowserView& /*browser*/, host::WindowState state) {
  AssertUiThread();
  if (!is_main_) return;
  Report([state] {
    switch (state) {
      case host::WindowState::kShown:
        return events::Window("shown");
      case host::WindowState::kMinimized:
        return events::Window("minimized");
      case host::WindowState::kHidden:
        break;
    }
    return events::Window("hidden");
  });
}

// ---- Navigation ----

bool BrowserHandler::OnBeforeBrowse(host::BrowserView& /*browser*/, host::Frame& frame,
                                    const std::string& url, bool /*is_redirect*/) {
  AssertUiThread();
  const AllowedOrigins& list =
      popups_.governor ? popups_.governor->allowed_origins_ : allowed_origins_;
  NavigationDecision decision = DecideBeforeBrowse(url, list);
  switch (decision.action) {
    case NavigationDecision::Action::kAllow:
      if (frame.IsMain()) {
        // The generated pages stand in for a page; a reload brings back the page itself.
        if (url == generated_page_) {
          generated_page_.clear();
        } else {
          last_accepted_url_ = url;
        }
      }
      return false;
    case NavigationDecision::Action::kHandToOs:
      // Always cancelled; handed over only at the pace a person could ask for it, so a page
      // navigating to the scheme in a loop cannot flood the desktop with processes.
      if (popups_.hand_offs->Allow(HandOffLimiter::Clock::now())) {
        engine_.OpenExternal(url);
        Report([&] { return events::Handoff(url); });
      }
      return true;
    case NavigationDecision::Action::kDeny:
      ShowGeneratedPage(frame, decision.page_url);
      if (is_main_) Report([&] { return events::Denied(url, frame.IsMain()); });
      return true;
  }
  return true;
}

// ---- Load ----

void BrowserHandler::OnLoadError(host::BrowserView& /*browser*/, host::Frame& frame, int32_t code,
                                 const std::string& text, const std::string& failed_url) {
  AssertUiThread();
  auto page = DecideLoadError(failed_url, text, code);
  if (!page) return;
  ShowGeneratedPage(frame, *page);
  if (is_main_) Report([&] { return events::LoadError(failed_url, code, text, frame.IsMain()); });
}

void BrowserHandler::ShowGeneratedPage(host::Frame& frame, const std::string& page_url) {
  if (frame.IsMain()) generated_page_ = page_url;
  frame.LoadURL(page_url);
}

void BrowserHandler::OnLoadEnd(host::BrowserView& /*browser*/, const std::string& url) {
  AssertUiThread();
  if (is_main_) Report([&] { return events::Load(url); });
}

void BrowserHandler::OnRenderProcessTerminated(host::BrowserView& /*browser*/, host::Frame& frame,
                                               host::RendererEnd how, int exit_code,
                                               const std::string& url) {
  AssertUiThread();
  // A dead renderer would leave a dead frame: the user and the controller get the Load Error
  // page instead, with the engine's generic failure code and what became of the renderer.
  constexpr int32_t kFailedCode = -2;  // net::ERR_FAILED
  const char* status = "abnormal";
  std::string what;
  switch (how) {
    case host::RendererEnd::kCrashed:
      status = "crashed";
      what = "the page's renderer process crashed";
      break;
    case host::RendererEnd::kKilled:
      status = "killed";
      what = "the page's renderer process was killed";
      break;
    case host::RendererEnd::kAbnormal:
      what = "the page's renderer process ended with exit code " + std::to_string(exit_code);
      break;
  }
  if (auto page = DecideLoadError(url, "net::ERR_FAILED (" + what + ")", kFailedCode)) {
    ShowGeneratedPage(frame, *page);
  }
  if (is_main_) Report([&] { return events::RendererGone(status); });
  // With --reload-after-crash the page itself follows after the delay.
  if (!is_main_ || !reload_delay_) return;
  std::optional<uint64_t> ticket = crash_reloads_.OnRendererGone(CrashReloads::Clock::now());
  if (!ticket) return;
  engine_.PostDelayedTask(*reload_delay_, [weak = weak_from_this(), ticket = *ticket] {
    if (auto self = weak.lock()) self->ReloadIfStillDue(ticket);
  });
}

void BrowserHandler::ReloadIfStillDue(uint64_t ticket) {
  AssertUiThread();
  if (!crash_reloads_.TakeDue(ticket, CrashReloads::Clock::now())) return;
  // Through the navigation decision again: the list may have changed since.
  if (!browser_list_.empty() && !last_accepted_url_.empty()) {
    browser_list_.front()->LoadURL(last_accepted_url_);
  }
}

// ---- Download ----

void BrowserHandler::OnBeforeDownload(host::BrowserView& /*browser*/,
                                      const std::string& suggested_name,
                                      host::DownloadCallback& callback) {
  AssertUiThread();
  callback.Continue(suggested_name, /*show_dialog=*/true);
}

}  // namespace trb
