// How pages reach the screen: composited through OpenGL where the machine has a GPU, in
// software where the only OpenGL there is would be a software one. Software OpenGL (Mesa's
// llvmpipe) costs the browser process about 30 MiB for nothing: the engine refuses to
// accelerate with it anyway, and software compositing draws the same pages without it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.h"

namespace trb {

// What the machine offers for OpenGL, found without loading any OpenGL library.
struct GraphicsFacts {
  bool gpu_render_node = false;     // a render node of a GPU driver that this user may open
  bool nvidia_device = false;       // NVIDIA's own driver (its GL needs no render node)
  bool x11 = false;                 // the toolkit will talk to an X server
  bool x_direct_rendering = false;  // that server lets clients render on a GPU (DRI3 or DRI2)
};

// True when every OpenGL the process could get would be a software one.
bool OnlySoftwareGL(const GraphicsFacts& facts);

using EnvLookup = std::function<const char*(const char*)>;

// True when the user has said how graphics are to be done, through the toolkit's or the
// graphics library's environment or an engine switch; the browser then changes nothing.
bool UserChoseGraphics(const CommandLine& cl, const EnvLookup& env);

// The software path: the environment to set before the toolkit starts, and the engine
// switch, added to `cl`.
std::vector<std::pair<std::string, std::string>> UseSoftwareGraphics(CommandLine* cl);

// Whether a toolkit message only restates the software path chosen here.
bool IsSoftwareGraphicsNotice(const std::string& message);

}  // namespace trb
