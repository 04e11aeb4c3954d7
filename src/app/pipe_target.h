// The pipe thread's view of a browser and its window: every call is carried out on the UI
// thread (engines and toolkits may only be used there), except the close, which is only
// posted, because the close sequence itself waits for the pipe thread.
#pragma once

#include <functional>
#include <memory>

#include "host/engine.h"
#include "pipe/target.h"

namespace trb {

// `before_load`, when set, runs on the UI thread before every load the controller asks for
// (LOAD and CLEAR).
Target MakeUiTarget(host::Engine& engine, const std::shared_ptr<host::BrowserView>& browser,
                    std::function<void()> before_load = nullptr);

}  // namespace trb
