// Start-up failures reported as one line on stderr with exit code 1, instead of the
// toolkit's multi-line messages and an abort.
#pragma once

#include "app/command_line.h"

namespace trb {

// Checks what can be known before the toolkit starts (root without --no-sandbox, no display).
// Prints the reason and returns false when the browser cannot start.
bool CheckCanStart(const CommandLine& cl);

// From here until StartupDone, the toolkit's fatal errors end the process with code 1 and one
// line on stderr; its platform warnings are held back and folded into that line.
void BeginStartup();
void StartupDone();

}  // namespace trb
