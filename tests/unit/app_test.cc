// The application layer: what the browser handler does at each engine callback, against a fake
// engine; the choices made at start-up; the quit signals. The real browser: tests/e2e.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iomanip>
#include <map>
#include <sstream>

#include <QCoreApplication>
#include <QTimer>

#include "app/browser_handler.h"
#include "app/command_line.h"
#include "app/graphics_choice.h"
#include "app/quit_signals.h"
#include "app/runtime_dir.h"
#include "app/session_platform.h"
#include "policy/decisions.h"
#include "policy/pages.h"
#include "support/case_name.h"

namespace trb {
namespace {

using Log = std::vector<std::string>;

// The fake browser, its window and the controller's events: each effect is a line of `log`.
struct FakeBrowser : host::BrowserView, host::HostWindow, EventSink {
  explicit FakeBrowser(Log& log) : log(log) {}
  void LoadURL(const std::string& url) override { log.push_back("load " + url); }
  void Reload() override {}
  void Close() override {}
  bool IsClosed() const override { return false; }
  HostWindow& Window() override { return *this; }
  std::shared_ptr<const host::BrowserState> State() const override { return state; }
  void SetTitle(const std::string& title) override { log.push_back("title " + title); }
  void SetAppIcon() override { log.push_back("icon"); }
  void HideWindow() override { log.push_back("hide"); }
  void ShowWindowNormal() override {}
  void ShowWindowTopmost() override {}
  void MinimizeWindow() override {}
  void SetNormalRect(const NormalRect&) override {}
  void ForbidResize() override {}
  bool IsWindowHidden() override { return true; }
  NormalRect GetNormalRect() override { return {}; }
  void Post(std::string line) override { log.push_back(line); }
  Log& log;
  std::shared_ptr<host::BrowserState> state = std::make_shared<host::BrowserState>();
};

struct FakeFrame : host::Frame {
  FakeFrame(Log& log, bool main) : log(log), main(main) {}
  bool IsMain() const override { return main; }
  void LoadURL(const std::string& url) override { log.push_back((main ? "main " : "sub ") + url); }
  Log& log;
  bool main;
};

// The fake engine. The main handler allows http://a.test/, restricts popups (free popups are
// end-to-end tests) and tells `browser` its events.
class Handler : public testing::Test, public host::Engine {
 public:
  void CreateBrowser(const host::WindowSpec& spec, std::shared_ptr<host::BrowserEvents> events,
                     const std::string& url) override {
    log.push_back("window " + spec.title + (spec.visible ? " shown " : " hidden ") + url);
    popups.push_back(std::dynamic_pointer_cast<BrowserHandler>(events));
  }
  void QuitMessageLoop() override { log.push_back("quit"); }
  void PostTask(std::function<void()> task) override { task(); }
  void PostDelayedTask(std::chrono::milliseconds delay, std::function<void()> task) override {
    log.push_back("after " + std::to_string(delay.count()) + "ms");
    delayed.push_back(std::move(task));
  }
  void OpenExternal(const std::string& url) override { log.push_back("desktop " + url); }
  bool OnUiThread() const override { return true; }

  void SetUp() override {
    PipeThreadControl pipe{
        [this] { log.push_back("pipe start " + std::to_string(main->browser_count())); },
        [this] { log.push_back("pipe stop"); }};
    main = std::make_shared<BrowserHandler>(*this, pipe, false, true,
                                            PopupRule{true, nullptr, nullptr}, browser);
    main->allowed_origins_.Replace({"http://a\\.test/"});
  }
  void TearDown() override {
    EXPECT_EQ(g_main_handler.load(), main.get()) << "a popup took the pipe's handler";
    popups.clear();
    main.reset();
    EXPECT_EQ(g_main_handler.load(), nullptr);
  }
  Log Take() { return std::exchange(log, {}); }
  BrowserHandler& Popup(BrowserHandler& opener) {
    opener.OnBeforePopup(*browser, "http://p.test/");
    log.clear();
    return *popups.back();
  }
  void Browse(BrowserHandler& h, FakeFrame& in, const std::string& url) {
    if (h.OnBeforeBrowse(*browser, in, url, false)) log.push_back("cancelled");
  }
  void Crash(host::RendererEnd how) {
    main->OnRenderProcessTerminated(*browser, frame, how, 9, "http://a.test/x");
  }

  Log log;
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>(log);
  FakeFrame frame{log, true}, sub{log, false};
  std::shared_ptr<BrowserHandler> main;
  std::vector<std::shared_ptr<BrowserHandler>> popups;
  std::vector<std::function<void()>> delayed;
};

std::string Denied(const std::string& url) {
  return MakeDataURL(AccessDeniedPage(url), "text/html");
}
std::string Failed(const std::string& url, const std::string& text, int code = -2) {
  return *DecideLoadError(url, text, code);
}
const std::string kKilled = "net::ERR_FAILED (the page's renderer process was killed)";
const std::string kCrashed = "net::ERR_FAILED (the page's renderer process crashed)";

TEST_F(Handler, MainBrowserIsListedBeforeThePipeStartsAndOnlyItsEndQuits) {
  EXPECT_FALSE(main->ResolveTarget().browser);
  main->OnAfterCreated(browser);
  EXPECT_TRUE(main->ResolveTarget().browser);
  main->hide_on_close_ = true;
  EXPECT_TRUE(main->DoClose(*browser));
  main->hide_on_close_ = false;
  EXPECT_FALSE(main->DoClose(*browser));
  main->OnBeforeClose(*std::make_shared<FakeBrowser>(log));  // another browser's end
  main->OnBeforeClose(*browser);
  const std::string home = "load " + DefaultPageURL();
  EXPECT_EQ(log, (Log{"icon", home, "pipe start 1", home, "hide", "pipe stop", "quit"}));
}

TEST_F(Handler, PopupsOfPopupsAreVisibleAndEveryPopupJustCloses) {
  BrowserHandler& popup = Popup(*main);
  popup.OnBeforePopup(*browser, "http://q.test/");
  popup.OnAfterCreated(browser);
  popup.hide_on_close_ = true;
  EXPECT_FALSE(popup.DoClose(*browser));
  popup.OnBeforeClose(*browser);
  EXPECT_EQ(log, (Log{events::Popup("http://q.test/"),
                      "window New Browser Window shown http://q.test/", "icon"}));
}

// A restricted popup's popup obeys the main list, as it stands at each navigation; and it
// tells the controller only what concerns every window: hand-offs and popups.
TEST_F(Handler, RestrictedPopupsObeyTheMainListAndReportLittle) {
  BrowserHandler& h = Popup(Popup(*main));
  h.OnAddressChange(*browser, "http://a.test/");
  h.OnTitleChange(*browser, " A <b> ");
  h.OnLoadEnd(*browser, "http://a.test/");
  h.OnWindowStateChange(*browser, host::WindowState::kMinimized);
  h.OnLoadError(*browser, sub, -105, "net::ERR_NAME_NOT_RESOLVED", "http://b.test/");
  h.OnLoadError(*browser, frame, -3, "net::ERR_ABORTED", "http://b.test/");
  h.OnRenderProcessTerminated(*browser, sub, host::RendererEnd::kKilled, 9, "http://a.test/x");
  Browse(h, sub, "http://a.test/f");
  Browse(h, sub, "http://o.test/");
  main->allowed_origins_.Replace({"http://o\\.test/"});
  Browse(h, sub, "http://o.test/");
  Browse(h, frame, "http://a.test/");
  Browse(h, sub, "tavrin:x");
  h.OnBeforePopup(*browser, "http://n.test/");
  EXPECT_EQ(
      log,
      (Log{"title  A <b> ", "sub " + Failed("http://b.test/", "net::ERR_NAME_NOT_RESOLVED", -105),
           "sub " + Failed("http://a.test/x", kKilled), "sub " + Denied("http://o.test/"),
           "cancelled", "main " + Denied("http://a.test/"), "cancelled", "desktop tavrin:x",
           events::Handoff("tavrin:x"), "cancelled", events::Popup("http://n.test/"),
           "window New Browser Window shown http://n.test/"}));
}

// After the renderer's end the error page shows; with --reload-after-crash the last page the
// list let in (not the error page standing in) comes back, unless the controller loads first.
TEST_F(Handler, RendererGoneShowsTheErrorPageThenReloadsTheLastAcceptedPage) {
  main->OnAfterCreated(browser);
  Browse(*main, frame, "http://a.test/x");
  Browse(*main, frame, "http://b.test/");
  Browse(*main, frame, Denied("http://b.test/"));
  Take();
  Crash(host::RendererEnd::kCrashed);
  EXPECT_EQ(Take(),
            (Log{"main " + Failed("http://a.test/x", kCrashed), events::RendererGone("crashed")}));
  main->ReloadAfterCrash(std::chrono::seconds(7));
  for (const std::string load : {"", "http://a.test/y"}) {
    Crash(host::RendererEnd::kKilled);
    Browse(*main, frame, Failed("http://a.test/x", kKilled));
    if (!load.empty()) main->ResolveTarget().browser->LoadURL(load);
    for (auto& task : std::exchange(delayed, {})) task();
    EXPECT_EQ(Take(),
              (Log{"main " + Failed("http://a.test/x", kKilled), events::RendererGone("killed"),
                   "after 7000ms", "load " + (load.empty() ? "http://a.test/x" : load)}));
  }
}

// A page sending itself to the own scheme in a loop, from two windows: every navigation is
// cancelled, a burst reaches the desktop (a stalled machine may earn a token or two more).
TEST_F(Handler, OwnSchemeLoopIsPacedAcrossWindows) {
  BrowserHandler& popup = Popup(*main);
  for (int i = 0; i < 50; ++i) Browse(i % 2 == 0 ? *main : popup, frame, "tavrin:x");
  const auto handed = std::count(log.begin(), log.end(), "desktop tavrin:x");
  EXPECT_EQ(std::count(log.begin(), log.end(), "cancelled"), 50);
  EXPECT_GE(handed, HandOffLimiter::kBurst);
  EXPECT_LE(handed, HandOffLimiter::kBurst + 2);
}

// A start as a shell line: "sudo" runs it as root, NAME=VALUE words set the environment, the
// rest are the browser's arguments. Gives what the toolkit starts with, then what the browser
// took for itself and decided.
std::string StartUp(const std::string& line) {
  std::map<std::string, std::string> env;
  std::vector<std::string> argv = {"trbrowser"};
  std::istringstream words(line);
  for (std::string word; words >> std::quoted(word);) {
    if (isupper(word[0]) && word.find('=') != std::string::npos) {
      env[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    } else if (word != "sudo") {
      argv.push_back(word);
    }
  }
  auto get = [&env](const char* name) { return env.count(name) ? env[name].c_str() : nullptr; };
  CommandLine cl = ParseCommandLine(argv);
  ApplyPlatform(
      cl, ChoosePlatform(cl, {get("QT_QPA_PLATFORM"), get("DISPLAY"), get("WAYLAND_DISPLAY")}));
  std::string out;
  for (const std::string& arg : ToolkitArgv(cl)) out += arg + " ";
  const bool refused =
      SandboxRefusesRoot(cl, line.starts_with("sudo") ? 0 : 1000,
                         get("QTWEBENGINE_DISABLE_SANDBOX"), get("QTWEBENGINE_CHROMIUM_FLAGS"));
  const std::string error = cl.error.find("=5") == std::string::npos ? "error" : "error, e.g.";
  // clang-format off
  const std::pair<bool, std::string> said[] = {
      {cl.help, "help"}, {cl.version, "version"}, {cl.use_views, "views"},
      {cl.restrict_popups, "restricted"}, {!cl.named_pipe.empty(), "pipe=" + cl.named_pipe},
      {cl.events_pipe.has_value(), "events=" + cl.events_pipe.value_or("")},
      {cl.reload_after_crash.has_value(), "reload=" + std::to_string(cl.reload_after_crash.value_or(std::chrono::seconds()).count())},
      {!cl.error.empty(), error}, {refused, "sandbox-refuses"}, {UserChoseGraphics(cl, get), "gl-chosen"}};
  // clang-format on
  out += "|";
  for (const auto& [on, what] : said) out += on ? " " + what : "";
  return out;
}

using Start = std::pair<const char*, const char*>;  // shell line, what it comes to
class StartUpCase : public testing::TestWithParam<Start> {};

TEST_P(StartUpCase, Decides) { EXPECT_EQ(StartUp(GetParam().first), GetParam().second); }

// clang-format off
const Start kStarts[] = {
    {"--use-views=0 --url --named-pipe=a=b --urlx=1 --use-viewsy --webEngineArgs --events-pipe --restrict-popups",
     "trbrowser --webEngineArgs --urlx=1 --use-viewsy | views restricted pipe=a=b events=trbrowser-events"},
    {"-h --version --url=http://a/", "trbrowser | help version"},
    {"--reload-after-crash=86400 --events-pipe=ev", "trbrowser | events=ev reload=86400"},
    {"--reload-after-crash=86401", "trbrowser | error, e.g."},
    {"--reload-after-crash=1.5", "trbrowser | error, e.g."},
    {"--reload-after-crash=999999999999", "trbrowser | error, e.g."},
    {"--reload-after-crash", "trbrowser | error, e.g."},
    {"sudo", "trbrowser | sandbox-refuses"},
    {"sudo --no-sandbox", "trbrowser --webEngineArgs --no-sandbox |"},
    {"sudo QTWEBENGINE_DISABLE_SANDBOX=1", "trbrowser |"},
    {"sudo QTWEBENGINE_DISABLE_SANDBOX=0", "trbrowser | sandbox-refuses"},
    {"sudo QTWEBENGINE_DISABLE_SANDBOX= QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu", "trbrowser | sandbox-refuses gl-chosen"},
    {R"(sudo "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu --no-sandbox")", "trbrowser | gl-chosen"},
    {"--use-gl=egl", "trbrowser --webEngineArgs --use-gl=egl | gl-chosen"},
    {"--ignore-gpu-blocklist", "trbrowser --webEngineArgs --ignore-gpu-blocklist | gl-chosen"},
    {"LIBGL_ALWAYS_SOFTWARE=1", "trbrowser | gl-chosen"},
    {"QT_QUICK_BACKEND=", "trbrowser |"},
    {R"("QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox --use-angle=swiftshader")", "trbrowser | gl-chosen"},
    {"QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox", "trbrowser |"},
    {"QT_QPA_PLATFORM= DISPLAY= WAYLAND_DISPLAY=wayland-0", "trbrowser -platform wayland |"},
    {"QT_QPA_PLATFORM=wayland DISPLAY=:1", "trbrowser |"},
    {"-platform offscreen -reverse DISPLAY=:1", "trbrowser -platform offscreen -reverse |"},
    {"-reverse --no-sandbox DISPLAY=:1", "trbrowser -platform xcb -reverse --webEngineArgs --no-sandbox |"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Switches, StartUpCase, testing::ValuesIn(kStarts), [](const auto& info) {
  return test::CaseName(info.param.first, info.index);
});

TEST(Graphics, SoftwareExactlyWhereTheOnlyGlWouldBeSoftware) {
  // Render node, NVIDIA device, X11, X server with DRI; then whether only software GL is left.
  const std::pair<GraphicsFacts, bool> machines[] = {
      {{false, false, true, false}, true},  {{false, false, false, false}, true},
      {{true, false, true, false}, true},   {{true, false, true, true}, false},
      {{true, false, false, false}, false}, {{false, true, true, false}, false}};
  for (const auto& [facts, software] : machines) {
    EXPECT_EQ(OnlySoftwareGL(facts), software)
        << facts.gpu_render_node << facts.nvidia_device << facts.x11 << facts.x_direct_rendering;
  }
}

// What stands under the runtime directory's name ($X) before the browser starts, and which
// directory it then uses: $X, a fresh one beside it, or none.
using Planted = std::tuple<const char*, const char*, const char*>;  // name, shell, uses
class RuntimeDir : public testing::TestWithParam<Planted> {};

TEST_P(RuntimeDir, IsPrivateAndOurOwnAndWhatStoodThereStays) {
  const auto& [name, shell, uses] = GetParam();
  char base[] = "/tmp/trb-runtime-test-XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  const std::string x = std::string(base) + "/trbrowser-runtime-" + std::to_string(geteuid());
  if (system(("X=" + x + "; " + shell).c_str()) != 0) GTEST_SKIP() << "cannot, as this user";
  struct stat before = {}, after = {}, made = {};
  const bool stood = lstat(x.c_str(), &before) == 0;
  std::string error;
  const std::string dir = PrivateRuntimeDir(base, geteuid(), &error);
  lstat(dir.c_str(), &made);
  lstat(x.c_str(), &after);
  std::filesystem::remove_all(base);
  EXPECT_EQ(dir.empty() ? "none" : dir == x ? "$X" : "fresh", std::string(uses)) << dir;
  EXPECT_TRUE(dir.empty() ? error.find(base) != std::string::npos
                          : std::filesystem::path(dir).parent_path() == base)
      << error;
  EXPECT_TRUE(dir.empty() || (made.st_mode == (S_IFDIR | 0700) && made.st_uid == geteuid()));
  EXPECT_TRUE(!stood || (after.st_mode == before.st_mode && after.st_uid == before.st_uid));
}

INSTANTIATE_TEST_SUITE_P(
    Session, RuntimeDir,
    testing::Values(Planted{"Nothing", "true", "$X"},
                    Planted{"OwnPrivateDir", "mkdir -m 700 $X", "$X"},
                    Planted{"DirOpenToOthers", "mkdir -m 777 $X", "fresh"},
                    Planted{"SymlinkToOwnDir", "mkdir -m 700 $X.d && ln -s $X.d $X", "fresh"},
                    Planted{"File", "touch $X", "fresh"},
                    Planted{"OtherUsersDir", "mkdir -m 700 $X && chown 65534 $X", "fresh"},
                    Planted{"NoBase", "rmdir $(dirname $X)", "none"}),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

// A quit signal is caught from the start of the process and reaches the UI loop once it runs,
// whether it came before the loop or during it.
class QuitSignal : public testing::TestWithParam<int> {};

TEST_P(QuitSignal, ReachesTheLoop) {
  CatchQuitSignals();
  ASSERT_EQ(raise(GetParam()), 0);  // would end the process without the catch
  for (const bool during_loop : {false, true}) {
    int argc = 1;
    char name[] = "app_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    int calls = 0;
    WatchQuitSignals([&] {
      ++calls;
      QCoreApplication::exit(0);
    });
    if (during_loop) QTimer::singleShot(0, &app, [this] { raise(GetParam()); });
    QTimer::singleShot(30000, &app, [] { QCoreApplication::exit(1); });  // a guard, not a clock
    EXPECT_EQ(QCoreApplication::exec(), 0) << (during_loop ? "during" : "before") << " the loop";
    EXPECT_EQ(calls, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Each, QuitSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
}  // namespace trb
