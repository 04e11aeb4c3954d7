#include "app/pipe_target.h"

#include <utility>

#include "pipe/ui_calls.h"

namespace trb {
namespace {

// Holds the browser weakly: a call that arrives after the browser has gone does nothing.
class UiBrowser : public Browser {
 public:
  UiBrowser(host::Engine& engine, std::weak_ptr<host::BrowserView> browser,
            std::shared_ptr<const host::BrowserState> state, std::function<void()> before_load)
      : engine_(engine),
        browser_(std::move(browser)),
        state_(std::move(state)),
        before_load_(std::move(before_load)) {}

  void LoadURL(const std::string& url) override {
    RunOnUiThread([&] {
      auto b = Live();
      if (!b) return;
      if (before_load_) before_load_();
      b->LoadURL(url);
    });
  }
  void Reload() override {
    RunOnUiThread([&] {
      if (auto b = Live()) b->Reload();
    });
  }
  // The committed URL as the UI thread last published it: the same answer a call on the UI
  // thread would give between two of its tasks, without waiting for the loop.
  std::string GetURL() override { return state_->url(); }
  void CloseBrowser(bool /*force*/) override {
    // Posted, never awaited: the close runs DoClose, which waits for this thread to end.
    engine_.PostTask([weak = browser_] {
      if (auto b = weak.lock(); b && !b->IsClosed()) b->Close();
    });
  }

 private:
  std::shared_ptr<host::BrowserView> Live() const {
    auto b = browser_.lock();
    return b && !b->IsClosed() ? b : nullptr;
  }

  host::Engine& engine_;
  std::weak_ptr<host::BrowserView> browser_;
  std::shared_ptr<const host::BrowserState> state_;
  std::function<void()> before_load_;
};

// Every window call, whatever it is, runs on the UI thread against the browser's window, or
// not at all once the browser has gone. Holds the browser weakly, like UiBrowser.
WindowAccess UiWindowAccess(std::weak_ptr<host::BrowserView> browser) {
  return [browser = std::move(browser)](const WindowCall& call) {
    RunOnUiThread([&] {
      auto b = browser.lock();
      if (b && !b->IsClosed()) call(b->Window());
    });
  };
}

}  // namespace

Target MakeUiTarget(host::Engine& engine, const std::shared_ptr<host::BrowserView>& browser,
                    std::function<void()> before_load) {
  std::shared_ptr<const host::BrowserState> state = browser->State();
  // The window publishes its visibility at every show and hide, before the operation that
  // caused it returns, so HIDE;ISHIDDEN answers 1 and a closed window counts as hidden.
  auto hidden = [state] { return state->hidden(); };
  return Target{std::make_shared<UiBrowser>(engine, browser, state, std::move(before_load)),
                UiWindowAccess(browser), std::move(hidden)};
}

}  // namespace trb
