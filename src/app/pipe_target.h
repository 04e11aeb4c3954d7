// The pipe thread's view of a browser and its window: every call is carried out on the UI
// thread (engines and toolkits may only be used there), except the close, which is only
// posted, because the close sequence itself waits for the pipe thread.
#pragma once

#include <memory>

#include "host/engine.h"
#include "pipe/target.h"

namespace trb {

Target MakeUiTarget(host::Engine& engine, const std::shared_ptr<host::BrowserView>& browser);

NormalRect ToNormalRect(const host::WindowRect& rect);
host::WindowRect ToWindowRect(const NormalRect& rect);

}  // namespace trb
