// The graphics path: software compositing exactly when the only OpenGL would be a software
// one, and never over a choice the user made.
#include "app/graphics_choice.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace trb {
namespace {

struct FactsCase {
  const char* name;
  GraphicsFacts facts;
  bool software;
};

class OnlySoftwareGLTest : public testing::TestWithParam<FactsCase> {};

TEST_P(OnlySoftwareGLTest, Decides) {
  EXPECT_EQ(OnlySoftwareGL(GetParam().facts), GetParam().software);
}

// Fields: GPU render node, NVIDIA device, X11, X server with DRI.
INSTANTIATE_TEST_SUITE_P(
    Machines, OnlySoftwareGLTest,
    testing::Values(FactsCase{"NoGpuAtAll", {false, false, true, false}, true},
                    FactsCase{"NoGpuOnWayland", {false, false, false, false}, true},
                    FactsCase{"GpuUnderXorg", {true, false, true, true}, false},
                    FactsCase{"GpuOnWayland", {true, false, false, false}, false},
                    FactsCase{"GpuUnderXvfb", {true, false, true, false}, true},
                    FactsCase{"NvidiaUnderXorg", {false, true, true, false}, false}),
    [](const testing::TestParamInfo<FactsCase>& info) { return info.param.name; });

struct ChoiceCase {
  const char* name;
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;
  bool user_chose;
};

class UserChoseGraphicsTest : public testing::TestWithParam<ChoiceCase> {};

TEST_P(UserChoseGraphicsTest, Decides) {
  const ChoiceCase& c = GetParam();
  std::vector<std::string> argv = {"trbrowser"};
  argv.insert(argv.end(), c.argv.begin(), c.argv.end());
  EnvLookup env = [&c](const char* name) -> const char* {
    auto it = c.env.find(name);
    return it == c.env.end() ? nullptr : it->second.c_str();
  };
  EXPECT_EQ(UserChoseGraphics(ParseCommandLine(argv), env), c.user_chose);
}

INSTANTIATE_TEST_SUITE_P(
    Users, UserChoseGraphicsTest,
    testing::Values(
        ChoiceCase{"Nothing", {"--no-sandbox", "--lang=de"}, {{"DISPLAY", ":1"}}, false},
        ChoiceCase{"DisableGpuSwitch", {"--disable-gpu"}, {}, true},
        ChoiceCase{"UseGlSwitch", {"--use-gl=egl"}, {}, true},
        ChoiceCase{"IgnoreBlocklist", {"--ignore-gpu-blocklist"}, {}, true},
        ChoiceCase{"ToolkitGlIntegration", {}, {{"QT_XCB_GL_INTEGRATION", "xcb_glx"}}, true},
        ChoiceCase{"SceneGraphBackend", {}, {{"QT_QUICK_BACKEND", "software"}}, true},
        ChoiceCase{"MesaSoftware", {}, {{"LIBGL_ALWAYS_SOFTWARE", "1"}}, true},
        ChoiceCase{"EmptyValueIsUnset", {}, {{"QT_QUICK_BACKEND", ""}}, false},
        ChoiceCase{"EngineFlagsEnv",
                   {},
                   {{"QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --use-angle=swiftshader"}},
                   true},
        ChoiceCase{
            "EngineFlagsEnvOther", {}, {{"QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox"}}, false}),
    [](const testing::TestParamInfo<ChoiceCase>& info) { return info.param.name; });

TEST(SoftwareGraphics, TurnsOffGlInToolkitAndEngine) {
  CommandLine cl = ParseCommandLine({"trbrowser", "--no-sandbox"});
  auto env = UseSoftwareGraphics(&cl);
  EXPECT_EQ(cl.engine_args, (std::vector<std::string>{"--no-sandbox", "--disable-gpu"}));
  EXPECT_EQ(env, (std::vector<std::pair<std::string, std::string>>{
                     {"QT_XCB_GL_INTEGRATION", "none"}, {"QT_QUICK_BACKEND", "software"}}));
  // What the browser turned off on purpose, and nothing else, goes unsaid.
  EXPECT_TRUE(IsSoftwareGraphicsNotice("No suitable graphics backend found\n"));
  EXPECT_FALSE(IsSoftwareGraphicsNotice("QXcbConnection: XCB error: 3 (BadWindow)"));
}

}  // namespace
}  // namespace trb
