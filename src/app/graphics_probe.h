// Finds out what the machine offers for OpenGL without loading an OpenGL library into the
// process: device nodes, their drivers in sysfs and, for X11, the server's extensions.
#pragma once

#include "app/graphics_choice.h"

namespace trb {

// `x11`: the toolkit will use X11 (the server named by DISPLAY is then asked too).
GraphicsFacts ProbeGraphics(bool x11);

// Before the toolkit starts: takes the software path (UseSoftwareGraphics) when the user has
// not chosen one and the machine has only software OpenGL. True when it did.
bool ChooseGraphics(CommandLine* cl);

}  // namespace trb
