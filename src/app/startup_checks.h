// Start-up failures reported as one line on stderr with exit code 1, instead of the
// toolkit's multi-line messages and an abort.
#pragma once

#include "app/command_line.h"

namespace trb {

// Checks what can be known before the toolkit starts (root without --no-sandbox, no display).
// Prints the reason and returns false when the browser cannot start.
bool CheckCanStart(const CommandLine& cl);

// From here until StartupDone, the toolkit's fatal errors end the process with code 1 and one
// line on stderr; its platform warnings are held back and folded into that line. Until
// ToolkitStarted, so is every other warning: a platform plugin that cannot reach its display
// says why in a warning of its own, and the one line must carry the reason. Warnings held that
// way are printed once the toolkit is up.
void BeginStartup(const CommandLine& cl);
void ToolkitStarted();
void StartupDone();

// For the whole run: drops the toolkit's and the engine's notices that OpenGL is missing,
// which only restate the software path the browser chose on purpose (graphics_choice.h).
void HideSoftwareGraphicsNotices();

}  // namespace trb
