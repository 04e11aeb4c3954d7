// BrowserHandler against a fake engine: life span order, the close sequences, popups and the
// wiring of the decisions to the frame that asked.
#include "app/browser_handler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "policy/pages.h"

namespace trb {
namespace {

using Log = std::vector<std::string>;

class FakeBrowser : public host::BrowserView, public host::HostWindow {
 public:
  explicit FakeBrowser(Log* log) : log_(log) {}
  void LoadURL(const std::string& url) override { log_->push_back("load " + url); }
  void Reload() override { log_->push_back("reload"); }
  void Close() override { log_->push_back("close"); }
  bool IsClosed() const override { return false; }
  HostWindow& Window() override { return *this; }
  std::shared_ptr<const host::BrowserState> State() const override { return state_; }
  void SetTitle(const std::string& title) override { log_->push_back("title " + title); }
  void SetAppIcon() override { log_->push_back("icon"); }
  void ShowWindowNormal() override { log_->push_back("show"); }
  void ShowWindowTopmost() override { log_->push_back("topmost"); }
  void HideWindow() override { log_->push_back("hide"); }
  void MinimizeWindow() override { log_->push_back("minimize"); }
  void SetNormalRect(const NormalRect&) override { log_->push_back("rect"); }
  void ForbidResize() override { log_->push_back("noresize"); }
  bool IsWindowHidden() override { return true; }
  NormalRect GetNormalRect() override { return {}; }

 private:
  Log* log_;
  std::shared_ptr<host::BrowserState> state_ = std::make_shared<host::BrowserState>();
};

class FakeFrame : public host::Frame {
 public:
  explicit FakeFrame(bool main) : main_(main) {}
  bool IsMain() const override { return main_; }
  void LoadURL(const std::string& url) override { loaded.push_back(url); }
  std::vector<std::string> loaded;

 private:
  bool main_;
};

struct Created {
  host::WindowSpec window_spec;
  std::shared_ptr<host::BrowserEvents> events;
  std::string url;
};

class FakeEngine : public host::Engine {
 public:
  void CreateBrowser(const host::WindowSpec& window_spec,
                     std::shared_ptr<host::BrowserEvents> events, const std::string& url) override {
    created.push_back({window_spec, std::move(events), url});
  }
  void QuitMessageLoop() override { ++quits; }
  void PostTask(std::function<void()> task) override { task(); }
  void PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) override {
    delayed.emplace_back(delay, std::move(task));
  }
  // Runs the delayed tasks posted so far, in order.
  void RunDelayed() {
    auto tasks = std::move(delayed);
    delayed.clear();
    for (auto& [delay, task] : tasks) task();
  }
  void OpenExternal(const std::string& url) override { opened.push_back(url); }
  bool OnUiThread() const override { return true; }

  std::vector<Created> created;
  std::vector<std::string> opened;
  std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> delayed;
  int quits = 0;
};

class BrowserHandlerTest : public ::testing::Test {
 protected:
  std::shared_ptr<BrowserHandler> MakeHandler(bool is_main) {
    // The pipe's start says how many browsers the list held by then.
    auto handler = std::make_shared<std::weak_ptr<BrowserHandler>>();
    PipeThreadControl pipe{
        [this, handler] {
          log.push_back("pipe start " + std::to_string(handler->lock()->browser_count()));
        },
        [this] { log.push_back("pipe stop"); }};
    auto made = std::make_shared<BrowserHandler>(engine, pipe, false, is_main);
    *handler = made;
    return made;
  }

  Log log;
  FakeEngine engine;
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>(&log);
};

// The main browser gets the icon, then the default page, then joins the list, then the pipe
// starts; a popup only gets the icon.
TEST_F(BrowserHandlerTest, AfterCreatedTheMainBrowserIsListedBeforeThePipeStarts) {
  for (const bool is_main : {true, false}) {
    SCOPED_TRACE(is_main ? "main" : "popup");
    log.clear();
    auto handler = MakeHandler(is_main);
    EXPECT_EQ(g_main_handler.load() == handler.get(), is_main);
    handler->OnAfterCreated(browser);
    EXPECT_EQ(log,
              (is_main ? Log{"icon", "load " + DefaultPageURL(), "pipe start 1"} : Log{"icon"}));
    EXPECT_EQ(handler->browser_count(), is_main ? 1u : 0u);
    Target target = handler->ResolveTarget();
    EXPECT_EQ(target.browser && target.window, is_main);
    handler.reset();
    EXPECT_EQ(g_main_handler.load(), nullptr);
  }
}

// The main window hides instead of closing when asked to, else stops the pipe (whose report
// still needs the browser in the list until OnBeforeClose) and closes; a popup always closes.
TEST_F(BrowserHandlerTest, DoCloseHidesOrStopsThePipeOrJustCloses) {
  const struct {
    bool is_main;
    bool hide_on_close;
    bool cancels;
    Log log;
  } cases[] = {
      {true, true, true, {"load " + DefaultPageURL(), "hide"}},
      {true, false, false, {"pipe stop"}},
      {false, true, false, {}},
      {false, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.is_main ? "main" : "popup") + (c.hide_on_close ? ", hide" : ""));
    auto handler = MakeHandler(c.is_main);
    handler->OnAfterCreated(browser);
    log.clear();
    handler->hide_on_close_ = c.hide_on_close;
    EXPECT_EQ(handler->DoClose(*browser), c.cancels);
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(handler->browser_count(), c.is_main ? 1u : 0u);
  }
}

// Only the main browser's end ends the loop; a browser it does not know, or a popup, does not.
TEST_F(BrowserHandlerTest, OnBeforeCloseEndsTheLoopForTheMainBrowserOnly) {
  FakeBrowser other(&log);
  for (const auto& [is_main, closed, quits] :
       {std::tuple{true, browser.get(), 1}, std::tuple{true, &other, 0},
        std::tuple{false, browser.get(), 0}}) {
    engine.quits = 0;
    auto handler = MakeHandler(is_main);
    handler->OnAfterCreated(browser);
    handler->OnBeforeClose(*closed);
    EXPECT_EQ(engine.quits, quits) << "main " << is_main << ", own browser " << (closed != &other);
    EXPECT_EQ(handler->browser_count(), is_main && quits == 0 ? 1u : 0u);
  }
}

TEST_F(BrowserHandlerTest, EveryPopupGetsAVisibleWindowAndItsOwnNonMainHandler) {
  auto main = MakeHandler(true);
  main->allowed_origins_.Replace({"http://allowed"});
  main->OnBeforePopup(*browser, "http://popup.test/");
  ASSERT_EQ(engine.created.size(), 1u);
  const Created& first = engine.created[0];
  EXPECT_EQ(first.window_spec.title, "New Browser Window");
  EXPECT_TRUE(first.window_spec.visible);
  EXPECT_EQ(first.url, "http://popup.test/");
  auto* popup = dynamic_cast<BrowserHandler*>(first.events.get());
  ASSERT_NE(popup, nullptr);
  EXPECT_NE(popup, main.get());
  EXPECT_FALSE(popup->is_main());
  EXPECT_FALSE(popup->use_views());
  EXPECT_TRUE(popup->allowed_origins_.IsEmpty());
  EXPECT_EQ(g_main_handler.load(), main.get());

  // A popup opens popups the same way.
  popup->OnBeforePopup(*browser, "http://second.test/");
  ASSERT_EQ(engine.created.size(), 2u);
  auto* second = dynamic_cast<BrowserHandler*>(engine.created[1].events.get());
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, popup);
  EXPECT_FALSE(second->is_main());
}

// --restrict-popups: popups, and the popups they open, decide against the main browser's list
// as it stands at each navigation, and refuse with the same page.
TEST_F(BrowserHandlerTest, RestrictedPopupsObeyTheMainList) {
  PopupRule restricted;
  restricted.restricted = true;
  auto main =
      std::make_shared<BrowserHandler>(engine, PipeThreadControl{}, false, true, restricted);
  main->allowed_origins_.Replace({"http://allowed\\.test/"});
  main->OnBeforePopup(*browser, "http://other.test/");
  ASSERT_EQ(engine.created.size(), 1u);
  auto& popup = dynamic_cast<BrowserHandler&>(*engine.created[0].events);
  popup.OnBeforePopup(*browser, "http://other.test/");
  ASSERT_EQ(engine.created.size(), 2u);
  auto& second = dynamic_cast<BrowserHandler&>(*engine.created[1].events);
  for (BrowserHandler* handler : {&popup, &second}) {
    EXPECT_TRUE(handler->allowed_origins_.IsEmpty());
    FakeFrame frame(false);
    EXPECT_FALSE(handler->OnBeforeBrowse(*browser, frame, "http://allowed.test/x", false));
    EXPECT_TRUE(handler->OnBeforeBrowse(*browser, frame, "http://other.test/", true));
    EXPECT_EQ(frame.loaded, (std::vector<std::string>{
                                MakeDataURL(AccessDeniedPage("http://other.test/"), "text/html")}));
  }
  main->allowed_origins_.Replace({"http://other\\.test/"});
  FakeFrame frame(true);
  EXPECT_FALSE(second.OnBeforeBrowse(*browser, frame, "http://other.test/", false));
  EXPECT_TRUE(second.OnBeforeBrowse(*browser, frame, "http://allowed.test/", false));
}

TEST_F(BrowserHandlerTest, TitleGoesToTheWindowUnchanged) {
  auto handler = MakeHandler(true);
  handler->OnTitleChange(*browser, " A <title> & more ");
  EXPECT_EQ(log, (Log{"title  A <title> & more "}));
}

struct BrowseCase {
  const char* name;
  bool main_frame;
  const char* url;
  bool with_list;
  bool cancels;
  bool shows_denied;
  bool hands_to_os;
};

class BeforeBrowseTest : public BrowserHandlerTest,
                         public ::testing::WithParamInterface<BrowseCase> {};

TEST_P(BeforeBrowseTest, DecisionActsOnTheFrameThatAsked) {
  const BrowseCase& c = GetParam();
  auto handler = MakeHandler(true);
  if (c.with_list) handler->allowed_origins_.Replace({"http://allowed.test"});
  FakeFrame frame(c.main_frame);
  EXPECT_EQ(handler->OnBeforeBrowse(*browser, frame, c.url, false), c.cancels);
  if (c.shows_denied) {
    EXPECT_EQ(frame.loaded,
              (std::vector<std::string>{MakeDataURL(AccessDeniedPage(c.url), "text/html")}));
  } else {
    EXPECT_TRUE(frame.loaded.empty());
  }
  if (c.hands_to_os) {
    EXPECT_EQ(engine.opened, (std::vector<std::string>{c.url}));
  } else {
    EXPECT_TRUE(engine.opened.empty());
  }
  EXPECT_TRUE(log.empty()) << "the browser itself is not touched";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BeforeBrowseTest,
    ::testing::Values(
        BrowseCase{"AllowedSub", false, "http://allowed.test/f", true, false, false, false},
        BrowseCase{"RefusedMain", true, "http://other.test/", true, true, true, false},
        BrowseCase{"RefusedSub", false, "http://other.test/f", true, true, true, false},
        BrowseCase{"NoListMain", true, "http://other.test/", false, false, false, false},
        BrowseCase{"OwnSchemeSubWithList", false, "tavrin:x", true, true, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A page navigating to the own scheme in a loop, from the main window and from a popup it
// opened: every navigation is cancelled, and only a burst reaches the desktop.
TEST_F(BrowserHandlerTest, OwnSchemeLoopIsPacedAcrossWindows) {
  auto main = MakeHandler(true);
  main->OnBeforePopup(*browser, "http://popup.test/");
  ASSERT_EQ(engine.created.size(), 1u);
  auto& popup = dynamic_cast<BrowserHandler&>(*engine.created[0].events);
  FakeFrame frame(true);
  for (int i = 0; i < 50; ++i) {
    BrowserHandler& handler = i % 2 == 0 ? *main : popup;
    EXPECT_TRUE(handler.OnBeforeBrowse(*browser, frame, "tavrin:x" + std::to_string(i), false));
  }
  EXPECT_TRUE(frame.loaded.empty());
  // The loop takes microseconds; a stalled test machine may earn a token or two more.
  EXPECT_GE(engine.opened.size(), static_cast<size_t>(HandOffLimiter::kBurst));
  EXPECT_LE(engine.opened.size(), static_cast<size_t>(HandOffLimiter::kBurst) + 2);
  EXPECT_EQ(engine.opened.front(), "tavrin:x0");
}

TEST_F(BrowserHandlerTest, LoadErrorShowsPageInThatFrameExceptAborted) {
  auto handler = MakeHandler(true);
  FakeFrame sub(false);
  handler->OnLoadError(*browser, sub, -102, "net::ERR_CONNECTION_REFUSED", "http://127.0.0.1:9/");
  EXPECT_EQ(sub.loaded,
            (std::vector<std::string>{MakeDataURL(
                LoadErrorPage("http://127.0.0.1:9/", "net::ERR_CONNECTION_REFUSED", -102),
                "text/html")}));
  FakeFrame main(true);
  handler->OnLoadError(*browser, main, -3, "net::ERR_ABORTED", "http://x/");
  EXPECT_TRUE(main.loaded.empty());
  handler->OnLoadError(*browser, main, 7, "positive", "http://x/");
  EXPECT_EQ(main.loaded.size(), 1u);
}

class RecordingSink : public EventSink {
 public:
  void Post(std::string line) override { lines.push_back(std::move(line)); }
  std::vector<std::string> lines;
};

// What each window tells the controller: the main window everything; a popup only what
// concerns every window (hand-offs to the desktop, popups it opens), never its own page.
TEST_F(BrowserHandlerTest, EventsComeFromTheMainWindowAndHandOffsAndPopupsFromAny) {
  auto sink = std::make_shared<RecordingSink>();
  auto main =
      std::make_shared<BrowserHandler>(engine, PipeThreadControl{}, false, true, PopupRule{}, sink);
  main->OnBeforePopup(*browser, "http://popup.test/");
  ASSERT_EQ(engine.created.size(), 1u);
  auto& popup = dynamic_cast<BrowserHandler&>(*engine.created[0].events);
  EXPECT_EQ(sink->lines, (std::vector<std::string>{events::Popup("http://popup.test/")}));
  main->allowed_origins_.Replace({"http://allowed.test"});
  popup.allowed_origins_.Replace({"http://allowed.test"});  // as a restricted popup would be

  for (BrowserHandler* handler : {main.get(), &popup}) {
    SCOPED_TRACE(handler->is_main() ? "main" : "popup");
    sink->lines.clear();
    FakeFrame frame(true);
    FakeFrame sub(false);
    handler->OnAddressChange(*browser, "http://a.test/");
    handler->OnTitleChange(*browser, "A");
    handler->OnLoadEnd(*browser, "http://a.test/");
    handler->OnWindowStateChange(*browser, host::WindowState::kMinimized);
    handler->OnLoadError(*browser, frame, -105, "net::ERR_NAME_NOT_RESOLVED", "http://b.test/");
    handler->OnLoadError(*browser, frame, -3, "net::ERR_ABORTED", "http://b.test/");
    handler->OnBeforeBrowse(*browser, sub, "http://refused.test/", false);
    handler->OnBeforeBrowse(*browser, frame, "tavrin:x", false);
    handler->OnRenderProcessTerminated(*browser, frame, host::RendererEnd::kKilled, 9, "u");
    handler->OnBeforePopup(*browser, "http://next.test/");
    std::vector<std::string> all_windows = {events::Handoff("tavrin:x"),
                                            events::Popup("http://next.test/")};
    if (!handler->is_main()) {
      EXPECT_EQ(sink->lines, all_windows);
      continue;
    }
    EXPECT_EQ(sink->lines,
              (std::vector<std::string>{
                  events::Url("http://a.test/"), events::Title("A"), events::Load("http://a.test/"),
                  events::Window("minimized"),
                  events::LoadError("http://b.test/", -105, "net::ERR_NAME_NOT_RESOLVED", true),
                  events::Denied("http://refused.test/", false), all_windows[0],
                  events::RendererGone("killed"), all_windows[1]}));
  }
}

// The renderer dies on an allowed page: the Load Error page shows, and after the delay the
// page itself comes back, not the error page that stood in for it; a LOAD from the
// controller in between wins over the reload.
TEST_F(BrowserHandlerTest, RendererGoneReloadsTheLastAcceptedPageUnlessTheControllerLoads) {
  auto handler = MakeHandler(true);
  handler->ReloadAfterCrash(std::chrono::seconds(7));
  handler->OnAfterCreated(browser);
  handler->allowed_origins_.Replace({"http://a\\.test"});
  FakeFrame main(true);
  auto crash = [&] {
    handler->OnRenderProcessTerminated(*browser, main, host::RendererEnd::kKilled, 9,
                                       "http://a.test/x");
    ASSERT_FALSE(main.loaded.empty());
    EXPECT_FALSE(handler->OnBeforeBrowse(*browser, main, main.loaded.back(), false));
  };
  EXPECT_FALSE(handler->OnBeforeBrowse(*browser, main, "http://a.test/x", false));
  EXPECT_TRUE(handler->OnBeforeBrowse(*browser, main, "http://b.test/", false));  // refused
  EXPECT_FALSE(handler->OnBeforeBrowse(*browser, main, main.loaded.back(), false));
  log.clear();
  crash();
  ASSERT_EQ(engine.delayed.size(), 1u);
  EXPECT_EQ(engine.delayed[0].first, std::chrono::seconds(7));
  engine.RunDelayed();
  EXPECT_EQ(log, (Log{"load http://a.test/x"}));

  log.clear();
  crash();
  handler->ResolveTarget().browser->LoadURL("http://a.test/other");
  engine.RunDelayed();
  EXPECT_EQ(log, (Log{"load http://a.test/other"}));
}

TEST_F(BrowserHandlerTest, RendererGoneWithoutTheSwitchOnlyShowsTheErrorPage) {
  auto handler = MakeHandler(true);
  handler->OnAfterCreated(browser);
  FakeFrame main(true);
  handler->OnRenderProcessTerminated(*browser, main, host::RendererEnd::kCrashed, 0, "u");
  EXPECT_EQ(main.loaded.size(), 1u);
  EXPECT_TRUE(engine.delayed.empty());
}

}  // namespace
}  // namespace trb
