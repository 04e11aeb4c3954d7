#include "app/browser_handler.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>

#include "app/pipe_target.h"
#include "policy/decisions.h"
#include "policy/pages.h"

namespace trb {

BrowserHandler::BrowserHandler(host::Engine& engine, PipeThreadControl pipe, bool use_views,
                               bool is_main, std::shared_ptr<HandOffLimiter> hand_offs)
    : engine_(engine),
      pipe_(std::move(pipe)),
      use_views_(use_views),
      is_main_(is_main),
      hand_offs_(hand_offs ? std::move(hand_offs) : std::make_shared<HandOffLimiter>()) {
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
  return MakeUiTarget(engine_, browser_list_.front());
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
  // allow-list stays empty.
  auto handler =
      std::make_shared<BrowserHandler>(engine_, PipeThreadControl{}, false, false, hand_offs_);
  engine_.CreateBrowser(host::WindowSpec{kPopupWindowTitle, /*visible=*/true}, handler, target_url);
}

// ---- Display ----

void BrowserHandler::OnTitleChange(host::BrowserView& browser, const std::string& title) {
  AssertUiThread();
  // Native and views windows are both top-level windows here; the title goes on unchanged.
  browser.Window().SetTitle(title);
}

// ---- Navigation ----

bool BrowserHandler::OnBeforeBrowse(host::BrowserView& /*browser*/, host::Frame& frame,
                                    const std::string& url, bool /*is_redirect*/) {
  AssertUiThread();
  NavigationDecision decision = DecideBeforeBrowse(url, allowed_origins_);
  switch (decision.action) {
    case NavigationDecision::Action::kAllow:
      return false;
    case NavigationDecision::Action::kHandToOs:
      // Always cancelled; handed over only at the pace a person could ask for it, so a page
      // navigating to the scheme in a loop cannot flood the desktop with processes.
      if (hand_offs_->Allow(HandOffLimiter::Clock::now())) engine_.OpenExternal(url);
      return true;
    case NavigationDecision::Action::kDeny:
      frame.LoadURL(decision.page_url);
      return true;
  }
  return true;
}

// ---- Load ----

void BrowserHandler::OnLoadError(host::BrowserView& /*browser*/, host::Frame& frame, int32_t code,
                                 const std::string& text, const std::string& failed_url) {
  AssertUiThread();
  if (auto page = DecideLoadError(failed_url, text, code)) frame.LoadURL(*page);
}

// ---- Download ----

void BrowserHandler::OnBeforeDownload(host::BrowserView& /*browser*/,
                                      const std::string& suggested_name,
                                      host::DownloadCallback& callback) {
  AssertUiThread();
  callback.Continue(suggested_name, /*show_dialog=*/true);
}

}  // namespace trb
