#include "app/graphics_probe.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace trb {
namespace {

namespace fs = std::filesystem;

// Kernel drivers that have render nodes but draw on the CPU.
bool IsSoftwareDriver(const std::string& driver) { return driver == "vgem" || driver == "vkms"; }

bool HasGpuRenderNode() {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/dev/dri", ec)) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with("renderD")) continue;
    // Mesa falls back to software on a node it cannot open.
    if (access(entry.path().c_str(), R_OK | W_OK) != 0) continue;
    std::error_code link_ec;
    fs::path driver =
        fs::read_symlink(fs::path("/sys/class/drm") / name / "device" / "driver", link_ec);
    // Without sysfs the driver is unknown: a node that opens counts as a GPU.
    if (link_ec || !IsSoftwareDriver(driver.filename().string())) return true;
  }
  return false;
}

bool HasNvidiaDevice() { return access("/dev/nvidiactl", R_OK | W_OK) == 0; }

// Asks the X server for DRI3 and DRI2 in one round trip. A server that cannot be reached
// counts as offering them: the toolkit will then fail on its own terms, and nothing is
// changed on a guess.
bool XServerRendersDirect() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  bool direct = true;
  if (xcb_connection_has_error(connection) == 0) {
    xcb_query_extension_cookie_t dri3 = xcb_query_extension(connection, 4, "DRI3");
    xcb_query_extension_cookie_t dri2 = xcb_query_extension(connection, 4, "DRI2");
    direct = false;
    for (xcb_query_extension_cookie_t cookie : {dri3, dri2}) {
      xcb_query_extension_reply_t* reply = xcb_query_extension_reply(connection, cookie, nullptr);
      if (reply != nullptr && reply->present) direct = true;
      std::free(reply);
    }
  }
  xcb_disconnect(connection);
  return direct;
}

}  // namespace

bool ChooseGraphics(CommandLine* cl) {
  if (UserChoseGraphics(*cl, std::getenv)) return false;
  std::string platform = PlatformName(*cl);
  bool x11 = platform.starts_with("xcb") || (platform.empty() && std::getenv("DISPLAY") != nullptr);
  if (!OnlySoftwareGL(ProbeGraphics(x11))) return false;
  for (const auto& [name, value] : UseSoftwareGraphics(cl)) setenv(name.c_str(), value.c_str(), 1);
  return true;
}

GraphicsFacts ProbeGraphics(bool x11) {
  GraphicsFacts facts;
  facts.gpu_render_node = HasGpuRenderNode();
  facts.nvidia_device = HasNvidiaDevice();
  facts.x11 = x11;
  // Only asked when it can change the answer.
  if (x11 && facts.gpu_render_node && !facts.nvidia_device) {
    facts.x_direct_rendering = XServerRendersDirect();
  }
  return facts;
}

}  // namespace trb
