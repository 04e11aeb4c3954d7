#include "pipe/pipe_thread.h"

#include <cstdio>
#include <mutex>
#include <system_error>
#include <utility>

#include "pipe/pipe_controller.h"
#include "pipe/ui_calls.h"

namespace trb {
namespace {

std::mutex g_switch_mutex;
std::string& SwitchValue() {
  static std::string* value = new std::string;
  return *value;
}

}  // namespace

// Never destroyed: a pipe thread still running at exit must not meet a destroyed object.
PipeThread& g_pipe_thread = *new PipeThread;

PipeThread::~PipeThread() { Stop(); }

bool PipeThread::Start(std::string pipe_name, StopSignal& stop, ConnectOptions options) {
  if (started_.exchange(true)) return false;
  stop_ = &stop;
  try {
    thread_ = std::thread([this, name = std::move(pipe_name), options = std::move(options)] {
      PipeController(name, options).Run(*stop_);
      ended_.store(true);
      NotifyUiCallsDrainer();
    });
  } catch (const std::system_error& e) {
    std::fprintf(stderr,
                 "trbrowser: cannot start the pipe thread (%s); the browser runs without its "
                 "controller. Free some system resources and start it again.\n",
                 e.what());
    ended_.store(true);
  }
  return true;
}

void PipeThread::Stop() {
  if (stop_ == nullptr) return;
  stop_->Set();
  if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
  // Moved out first, so that a call made from a UI call run below returns at once.
  std::thread thread = std::move(thread_);
  DrainUiCallsUntil([this] { return ended_.load(); });
  thread.join();
}

void StartPipeThread() {
  std::string name;
  {
    std::lock_guard lock(g_switch_mutex);
    name = SwitchValue();
  }
  g_pipe_thread.Start(std::move(name), g_pipe_stop);
}

void StopPipeThread() {
  g_pipe_stop.Set();
  g_pipe_thread.Stop();
}

void SetPipeSwitchValue(std::string value) {
  std::lock_guard lock(g_switch_mutex);
  SwitchValue() = std::move(value);
}

}  // namespace trb
