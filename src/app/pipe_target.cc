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

class UiWindow : public Window {
 public:
  UiWindow(std::weak_ptr<host::BrowserView> browser,
           std::shared_ptr<const host::BrowserState> state)
      : browser_(std::move(browser)), state_(std::move(state)) {}

  void ShowWindowNormal() override {
    On([](host::HostWindow& w) { w.ShowWindowNormal(); });
  }
  void ShowWindowTopmost() override {
    On([](host::HostWindow& w) { w.ShowWindowTopmost(); });
  }
  void HideWindow() override {
    On([](host::HostWindow& w) { w.HideWindow(); });
  }
  void MinimizeWindow() override {
    On([](host::HostWindow& w) { w.MinimizeWindow(); });
  }
  void SetNormalRect(const NormalRect& rect) override {
    On([r = ToWindowRect(rect)](host::HostWindow& w) { w.SetNormalRect(r); });
  }
  void ForbidResize() override {
    On([](host::HostWindow& w) { w.ForbidResize(); });
  }
  // Published by the window at every show and hide, before the operation that caused it
  // returns, so HIDE;ISHIDDEN answers 1 and a closed window counts as hidden.
  bool IsWindowHidden() override { return state_->hidden(); }
  NormalRect GetNormalRect() override {
    NormalRect rect;
    On([&](host::HostWindow& w) { rect = ToNormalRect(w.GetNormalRect()); });
    return rect;
  }

 private:
  template <typename Fn>
  void On(Fn fn) {
    RunOnUiThread([&] {
      auto b = browser_.lock();
      if (b && !b->IsClosed()) fn(b->Window());
    });
  }

  std::weak_ptr<host::BrowserView> browser_;
  std::shared_ptr<const host::BrowserState> state_;
};

}  // namespace

NormalRect ToNormalRect(const host::WindowRect& r) { return {r.top, r.left, r.bottom, r.right}; }
host::WindowRect ToWindowRect(const NormalRect& r) { return {r.top, r.left, r.bottom, r.right}; }

Target MakeUiTarget(host::Engine& engine, const std::shared_ptr<host::BrowserView>& browser,
                    std::function<void()> before_load) {
  std::shared_ptr<const host::BrowserState> state = browser->State();
  return Target{std::make_shared<UiBrowser>(engine, browser, state, std::move(before_load)),
                std::make_shared<UiWindow>(browser, std::move(state))};
}

}  // namespace trb
