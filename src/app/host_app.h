// The application object: creates the main handler and the main browser once the engine is
// ready, and ends the process's browser on a termination signal.
#pragma once

#include <memory>

#include "app/browser_handler.h"
#include "app/command_line.h"
#include "host/engine.h"

namespace trb {

class HostApp {
 public:
  // `events` (may be null) hears what the browsers do.
  HostApp(host::Engine& engine, PipeThreadControl pipe, std::shared_ptr<EventSink> events = nullptr)
      : engine_(engine), pipe_(std::move(pipe)), events_(std::move(events)) {}

  // UI thread, once the engine and the loop are ready.
  void OnContextInitialized(const CommandLine& cl);

  // UI thread: the process was asked to end. Closes the main browser the way QUIT does (no
  // hide), or ends the loop when there is no browser to close.
  void RequestQuit();

 private:
  host::Engine& engine_;
  PipeThreadControl pipe_;
  std::shared_ptr<EventSink> events_;
};

}  // namespace trb
