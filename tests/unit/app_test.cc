// The application layer against a fake engine, its start-up choices, its quit signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QTimer>
#include <filesystem>
#include <iomanip>
#include <map>
#include <sstream>
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

// Browser, window, frame and event sink in one: each effect is a line of `log`, pages after `name`.
struct Fake : host::BrowserView, host::HostWindow, host::Frame, EventSink {
  Fake(Log& log, const char* name) : log(log), name(name) {}
  void LoadURL(const std::string& url) override { log.push_back(name + (" " + url)); }
  bool IsMain() const override { return name != std::string("sub"); }
  void Reload() override {}
  void Close() override {}
  bool IsClosed() const override { return false; }
  void ShowWindowNormal() override {}
  void ShowWindowTopmost() override {}
  void MinimizeWindow() override {}
  void SetNormalRect(const NormalRect&) override {}
  void ForbidResize() override {}
  bool IsWindowHidden() override { return true; }
  NormalRect GetNormalRect() override { return {}; }
  HostWindow& Window() override { return *this; }
  std::shared_ptr<const host::BrowserState> State() const override { return state; }
  void SetTitle(const std::string& title) override { log.push_back("title " + title); }
  void SetAppIcon() override { log.push_back("icon"); }
  void HideWindow() override { log.push_back("hide"); }
  void Post(std::string line) override { log.push_back(line); }
  Log& log;
  const char* name;
  std::shared_ptr<host::BrowserState> state = std::make_shared<host::BrowserState>();
};

// The fake engine; the main handler allows http://a.test/ and restricts popups (free: e2e).
class Handler : public testing::Test, public host::Engine {
 public:
  void CreateBrowser(const host::NewWindow& new_window, std::shared_ptr<host::BrowserEvents> events,
                     const std::string& url) override {
    log.push_back("window " + new_window.title + (new_window.visible ? " shown " : " hidden ") +
                  url);
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
  Log Take() { return std::exchange(log, {}); }
  BrowserHandler& Popup(BrowserHandler& opener) {
    opener.OnBeforePopup(*browser, "http://p.test/");
    log.clear();
    return *popups.back();
  }
  void Browse(BrowserHandler& h, Fake& in, const std::string& url) {
    if (h.OnBeforeBrowse(*browser, in, url, false)) log.push_back("cancelled");
  }

  Log log;
  std::shared_ptr<Fake> browser = std::make_shared<Fake>(log, "load");
  Fake frame{log, "main"}, sub{log, "sub"};
  std::shared_ptr<BrowserHandler> main;
  std::vector<std::shared_ptr<BrowserHandler>> popups;
  std::vector<std::function<void()>> delayed;
};

std::string Denied(std::string_view url) { return MakeDataURL(AccessDeniedPage(url), "text/html"); }
std::string Killed() {  // the Load Error page after the renderer of http://a.test/x was killed
  return *DecideLoadError("http://a.test/x",
                          "net::ERR_FAILED (the page's renderer process was killed)", -2);
}

// Popups of popups show, and close despite hide-on-close; the pipe starts on a listed browser.
TEST_F(Handler, LifeSpans) {
  BrowserHandler& popup = Popup(*main);
  popup.OnBeforePopup(*browser, "http://q.test/");
  popup.OnAfterCreated(browser);
  popup.hide_on_close_ = true;
  EXPECT_FALSE(popup.DoClose(*browser));
  popup.OnBeforeClose(*browser);
  EXPECT_EQ(g_main_handler.load(), main.get()) << "a popup took the pipe's handler";
  EXPECT_FALSE(main->ResolveTarget().browser);
  main->OnAfterCreated(browser);
  EXPECT_FALSE(main->DoClose(*browser));
  main->OnBeforeClose(*browser);
  EXPECT_EQ(log,
            (Log{events::Popup("http://q.test/"), "window New Browser Window shown http://q.test/",
                 "icon", "icon", "load " + DefaultPageURL(), "pipe start 1", "pipe stop", "quit"}));
}

// The main list as it stands decides, and only hand-offs and popups are reported.
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
  EXPECT_EQ(log,
            (Log{"title  A <b> ",
                 "sub " + *DecideLoadError("http://b.test/", "net::ERR_NAME_NOT_RESOLVED", -105),
                 "sub " + Killed(), "sub " + Denied("http://o.test/"), "cancelled",
                 "main " + Denied("http://a.test/"), "cancelled", "desktop tavrin:x",
                 events::Handoff("tavrin:x"), "cancelled", events::Popup("http://n.test/"),
                 "window New Browser Window shown http://n.test/"}));
}

// The last page the list let in (not the error page standing in) comes back unless LOAD wins.
TEST_F(Handler, RendererGoneShowsTheErrorPageThenReloadsTheLastAcceptedPage) {
  main->OnAfterCreated(browser);
  Browse(*main, frame, "http://a.test/x");
  Browse(*main, frame, "http://b.test/");
  Browse(*main, frame, Denied("http://b.test/"));
  main->OnLoadError(*browser, sub, -105, "net::ERR_NAME_NOT_RESOLVED", "http://b.test/");
  EXPECT_EQ(Take().back(),
            events::LoadError("http://b.test/", -105, "net::ERR_NAME_NOT_RESOLVED", false));
  main->OnRenderProcessTerminated(*browser, frame, host::RendererEnd::kCrashed, 0,
                                  "http://a.test/x");
  EXPECT_EQ(Take().size(), 2u) << "without the switch, only the error page and its event";
  main->ReloadAfterCrash(std::chrono::seconds(7));
  for (const std::string load : {"", "http://a.test/y"}) {
    main->OnRenderProcessTerminated(*browser, frame, host::RendererEnd::kKilled, 9,
                                    "http://a.test/x");
    Browse(*main, frame, Killed());
    if (!load.empty()) main->ResolveTarget().browser->LoadURL(load);
    for (auto& task : std::exchange(delayed, {})) task();
    EXPECT_EQ(Take(), (Log{"main " + Killed(), events::RendererGone("killed"), "after 7000ms",
                           "load " + (load.empty() ? "http://a.test/x" : load)}));
  }
}

// One burst reaches the desktop (a token or two more if the machine stalls), from any window.
TEST_F(Handler, OwnSchemeLoopIsPacedAcrossWindows) {
  BrowserHandler& popup = Popup(*main);
  for (int i = 0; i < 50; ++i) Browse(i % 2 == 0 ? *main : popup, frame, "tavrin:x");
  const auto handed = std::count(log.begin(), log.end(), "desktop tavrin:x");
  EXPECT_TRUE(handed >= HandOffLimiter::kBurst && handed <= HandOffLimiter::kBurst + 2) << handed;
}

// A shell line ("sudo": as root; NAME=VALUE: environment): the toolkit's argv | what was decided.
using Start = std::pair<const char*, const char*>;  // shell line, what it comes to
class StartUpCase : public testing::TestWithParam<Start> {};

TEST_P(StartUpCase, Decides) {
  const std::string line = GetParam().first;
  std::map<std::string, std::string> env;
  std::vector<std::string> argv = {"trbrowser"};
  std::istringstream words(line);
  for (std::string word; words >> std::quoted(word);) {
    const size_t eq = word[0] == '-' ? std::string::npos : word.find('=');
    if (eq != std::string::npos) env[word.substr(0, eq)] = word.substr(eq + 1);
    if (eq == std::string::npos && word != "sudo") argv.push_back(word);
  }
  auto get = [&env](const char* name) { return env.count(name) ? env[name].c_str() : nullptr; };
  CommandLine cl = ParseCommandLine(argv);
  ApplyPlatform(
      cl, ChoosePlatform(cl, {get("QT_QPA_PLATFORM"), get("DISPLAY"), get("WAYLAND_DISPLAY")}));
  std::string out;
  for (const std::string& arg : ToolkitArgv(cl)) out += arg + " ";
  // clang-format off
  const std::pair<bool, std::string> said[] = {
      {cl.help, "help"}, {cl.version, "version"}, {cl.use_views, "views"},
      {cl.restrict_popups, "restricted"}, {!cl.named_pipe.empty(), "pipe=" + cl.named_pipe},
      {cl.events_pipe.has_value(), "events=" + cl.events_pipe.value_or("")},
      {cl.reload_after_crash.has_value(), "reload=" + std::to_string(cl.reload_after_crash.value_or(std::chrono::seconds()).count())},
      {!cl.error.empty(), cl.error.find("=5") == std::string::npos ? "error" : "error, e.g."},
      {SandboxRefusesRoot(cl, line.starts_with("sudo") ? 0 : 1000, get("QTWEBENGINE_DISABLE_SANDBOX"), get("QTWEBENGINE_CHROMIUM_FLAGS")), "sandbox-refuses"},
      {UserChoseGraphics(cl, get), "gl-chosen"}};
  // clang-format on
  out += "|";
  for (const auto& [on, what] : said) out += on ? " " + what : "";
  EXPECT_EQ(out, GetParam().second);
}

// clang-format off
const Start kStarts[] = {
    {"-h --version --use-views=0 --url --named-pipe=a=b --urlx=1 --use-viewsy --webEngineArgs --events-pipe --restrict-popups",
     "trbrowser --webEngineArgs --urlx=1 --use-viewsy | help version views restricted pipe=a=b events=trbrowser-events"},
    {"--reload-after-crash=86400 --events-pipe=ev", "trbrowser | events=ev reload=86400"},
    {"--reload-after-crash=86401", "trbrowser | error, e.g."},
    {"--reload-after-crash=1.5", "trbrowser | error, e.g."},
    {"--reload-after-crash=999999999999", "trbrowser | error, e.g."},
    {"--reload-after-crash", "trbrowser | error, e.g."},
    {"sudo", "trbrowser | sandbox-refuses"},
    {"sudo --no-sandbox", "trbrowser --webEngineArgs --no-sandbox |"},
    {"sudo QTWEBENGINE_DISABLE_SANDBOX=1", "trbrowser |"},
    {"sudo QTWEBENGINE_DISABLE_SANDBOX=0", "trbrowser | sandbox-refuses"},
    {R"(sudo QTWEBENGINE_DISABLE_SANDBOX= "QTWEBENGINE_CHROMIUM_FLAGS=--lang=de --use-angle=gl")", "trbrowser | sandbox-refuses gl-chosen"},
    {"sudo QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox", "trbrowser |"},
    {"--use-gl=egl", "trbrowser --webEngineArgs --use-gl=egl | gl-chosen"},
    {"--ignore-gpu-blocklist", "trbrowser --webEngineArgs --ignore-gpu-blocklist | gl-chosen"},
    {"LIBGL_ALWAYS_SOFTWARE=1", "trbrowser | gl-chosen"},
    {"QT_QUICK_BACKEND=", "trbrowser |"},
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
  const std::pair<GraphicsFacts, bool> machines[] = {
      // render node, NVIDIA, X11, X with DRI
      {{false, false, true, false}, true},  {{false, false, false, false}, true},
      {{true, false, true, false}, true},   {{true, false, true, true}, false},
      {{true, false, false, false}, false}, {{false, true, true, false}, false}};
  for (const auto& [f, soft] : machines)
    EXPECT_EQ(OnlySoftwareGL(f), soft)
        << f.gpu_render_node << f.nvidia_device << f.x11 << f.x_direct_rendering;
}

using Planted = std::tuple<const char*, const char*, const char*>;  // name, plants $X, used dir
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
  const bool ours = lstat(dir.c_str(), &made) == 0 && made.st_mode == (S_IFDIR | 0700) &&
                    made.st_uid == geteuid() && std::filesystem::path(dir).parent_path() == base;
  lstat(x.c_str(), &after);
  std::filesystem::remove_all(base);
  EXPECT_EQ(dir == x ? "$X" : "fresh", std::string(uses)) << dir;
  EXPECT_TRUE(ours) << dir << error;
  EXPECT_TRUE(!stood || (after.st_mode == before.st_mode && after.st_uid == before.st_uid));
}

INSTANTIATE_TEST_SUITE_P(
    Session, RuntimeDir,
    testing::Values(Planted{"Nothing", "true", "$X"},
                    Planted{"OwnPrivateDir", "mkdir -m 700 $X", "$X"},
                    Planted{"DirOpenToOthers", "mkdir -m 777 $X", "fresh"},
                    Planted{"SymlinkToOwnDir", "mkdir -m 700 $X.d && ln -s $X.d $X", "fresh"},
                    Planted{"File", "touch $X", "fresh"},
                    Planted{"OtherUsersDir", "mkdir -m 700 $X && chown 65534 $X", "fresh"}),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

// Caught from the start of the process (else they would end it here), held for the UI loop.
TEST(QuitSignals, ComeToTheLoopOnceItRuns) {
  CatchQuitSignals();
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) ASSERT_EQ(raise(sig), 0);
  int argc = 1;
  char* argv[] = {const_cast<char*>("app_tests"), nullptr};
  QCoreApplication app(argc, argv);
  int calls = 0;
  WatchQuitSignals([&] { QCoreApplication::exit(++calls); });
  QTimer::singleShot(30000, &app, [] { QCoreApplication::exit(-1); });  // a guard
  EXPECT_EQ(QCoreApplication::exec(), 1);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace trb
