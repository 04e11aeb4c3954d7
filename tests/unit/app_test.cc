// The application layer against a fake engine, and its start-up choices.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <iomanip>
#include <map>
#include <sstream>
#include "app/browser_handler.h"
#include "app/command_line.h"
#include "app/graphics_choice.h"
#include "app/runtime_dir.h"
#include "app/session_platform.h"
#include "support/case_name.h"

namespace trb {
namespace {

// Browser, window, frame and event sink in one, doing nothing.
struct Fake : host::BrowserView, host::HostWindow, host::Frame, EventSink {
  void LoadURL(const std::string&) override {}
  bool IsMain() const override { return true; }
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
  void SetTitle(const std::string&) override {}
  void SetAppIcon() override {}
  void HideWindow() override {}
  void Post(std::string) override {}
  std::shared_ptr<host::BrowserState> state = std::make_shared<host::BrowserState>();
};

struct Engine : host::Engine {  // counts what reaches the desktop
  void CreateBrowser(const host::NewWindow&, std::shared_ptr<host::BrowserEvents> events,
                     const std::string&) override {
    popup = std::dynamic_pointer_cast<BrowserHandler>(events);
  }
  void QuitMessageLoop() override {}
  void PostTask(std::function<void()> task) override { task(); }
  void PostDelayedTask(std::chrono::milliseconds, std::function<void()>) override {}
  void OpenExternal(const std::string&) override { ++handed; }
  bool OnUiThread() const override { return true; }
  std::shared_ptr<BrowserHandler> popup;
  int handed = 0;
};

// A page looping on the own scheme: one burst reaches the desktop (a token or two more if the
// machine stalls), whichever window it runs in.
TEST(Handler, OwnSchemeLoopIsPacedAcrossWindows) {
  Engine engine;
  auto browser = std::make_shared<Fake>();
  auto main = std::make_shared<BrowserHandler>(engine, PipeThreadControl{[] {}, [] {}}, false, true,
                                               PopupRule{true, nullptr, nullptr}, browser);
  main->OnBeforePopup(*browser, "http://p.test/");
  ASSERT_TRUE(engine.popup);
  for (int i = 0; i < 50; ++i)
    (i % 2 == 0 ? main : engine.popup)->OnBeforeBrowse(*browser, *browser, "tavrin:x", false);
  const int extra = engine.handed - HandOffLimiter::kBurst;
  EXPECT_TRUE(extra >= 0 && extra <= 2) << engine.handed;
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

}  // namespace
}  // namespace trb
