// The single pipe thread of the process: started after the main browser exists, stopped when
// the main browser really closes.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "pipe/controller_connection.h"
#include "pipe/stop_signal.h"

namespace trb {

// UI thread. Starts the pipe thread unless it has been started before in this process;
// returns without waiting for it to connect.
void StartPipeThread();

// UI thread. Sets the stop signal and returns once the pipe thread has ended (after its final
// report, if a controller was connected). Runs the pipe thread's queued UI calls meanwhile.
// Safe to call again, and when no thread was ever started.
void StopPipeThread();

// The value of the "named-pipe" switch (empty when absent or without a value). Set once on
// the UI thread before StartPipeThread.
void SetPipeSwitchValue(std::string value);

// A thread running PipeController::Run, started at most once. The process has one,
// g_pipe_thread, behind the two functions above; tests make their own.
class PipeThread {
 public:
  PipeThread() = default;
  ~PipeThread();  // stops the thread if it still runs
  PipeThread(const PipeThread&) = delete;
  PipeThread& operator=(const PipeThread&) = delete;

  // False, doing nothing, when this object started a thread before. `stop` must outlive the
  // thread.
  bool Start(std::string pipe_name, StopSignal& stop, ConnectOptions options = {});

  // Sets the stop signal, then runs queued UI calls until the thread has ended and joins it.
  // Returns at once when no thread runs, or when called on the pipe thread itself.
  void Stop();

  bool ended() const { return ended_.load(); }

 private:
  std::atomic<bool> started_{false};
  std::atomic<bool> ended_{false};
  StopSignal* stop_ = nullptr;
  std::thread thread_;
};

extern PipeThread& g_pipe_thread;

}  // namespace trb
