#include "app/graphics_choice.h"

#include <string_view>

namespace trb {
namespace {

// The toolkit's and Mesa's own knobs for the graphics path.
constexpr const char* kGraphicsEnv[] = {
    "QT_XCB_GL_INTEGRATION", "QT_QUICK_BACKEND", "QMLSCENE_DEVICE",
    "QSG_RHI_BACKEND",       "QT_OPENGL",        "LIBGL_ALWAYS_SOFTWARE",
};

// An engine switch about the GPU or the GL implementation.
bool IsGraphicsSwitch(std::string_view arg) {
  std::string_view name = arg.substr(0, arg.find('='));
  return name.find("gpu") != std::string_view::npos || name.starts_with("--use-gl") ||
         name.starts_with("--use-angle") || name.starts_with("--use-vulkan") ||
         name == "--enable-unsafe-swiftshader";
}

// The engine's switches given through its environment variable, split at spaces.
bool FlagsNameGraphics(std::string_view flags) {
  while (!flags.empty()) {
    size_t end = flags.find(' ');
    if (IsGraphicsSwitch(flags.substr(0, end))) return true;
    if (end == std::string_view::npos) break;
    flags.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace

bool OnlySoftwareGL(const GraphicsFacts& facts) {
  if (facts.nvidia_device) return false;
  if (!facts.gpu_render_node) return true;
  // A server that cannot hand rendering to the GPU (Xvfb, VNC, a dumb frame buffer) leaves
  // Mesa nothing but its software rasteriser.
  return facts.x11 && !facts.x_direct_rendering;
}

bool UserChoseGraphics(const CommandLine& cl, const EnvLookup& env) {
  for (const char* name : kGraphicsEnv) {
    const char* value = env(name);
    if (value != nullptr && *value != '\0') return true;
  }
  for (const std::string& arg : cl.engine_args) {
    if (IsGraphicsSwitch(arg)) return true;
  }
  const char* flags = env("QTWEBENGINE_CHROMIUM_FLAGS");
  return flags != nullptr && FlagsNameGraphics(flags);
}

std::vector<std::pair<std::string, std::string>> UseSoftwareGraphics(CommandLine* cl) {
  // No GL integration: the toolkit never loads an OpenGL library. Its widgets draw in
  // software anyway; the page view then needs the scene graph's software renderer, and the
  // engine composites in software.
  cl->engine_args.emplace_back("--disable-gpu");
  return {{"QT_XCB_GL_INTEGRATION", "none"}, {"QT_QUICK_BACKEND", "software"}};
}

bool IsSoftwareGraphicsNotice(const std::string& message) {
  return message.starts_with("QXcbIntegration: Cannot create platform OpenGL context") ||
         message.starts_with("No suitable graphics backend found");
}

}  // namespace trb
