// The events channel, browser side: a thread of its own connects to the controller's events
// socket and writes the events posted to it, in order, without ever making a poster wait.
// A controller that reads slowly or not at all costs the browser at most the queue's bound:
// events beyond it are dropped and counted, and a "dropped" event says so in their place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipe/controller_connection.h"
#include "pipe/events.h"
#include "pipe/stop_signal.h"

namespace trb {

class EventWriter final : public EventSink {
 public:
  struct Options {
    // Bytes of events held (queued or being written) at most. A single event larger than
    // this is still taken when nothing else is held, so no event is too big to be sent.
    size_t queue_bound = size_t{1} << 20;
    // Once stopped, how long the events still held may wait for the controller to read.
    std::chrono::milliseconds flush_grace{500};
    // How long a busy listener may stay busy (the same rule as the command pipe).
    ConnectOptions connect;
  };

  enum class State { kConnecting, kConnected, kClosed };

  // Starts the writer thread, which connects to the first of `candidates` with a listener,
  // by the command pipe's rules and with its peer check. Without a listener it says so in
  // one line on stderr and drops every event; so it does once the controller has gone.
  EventWriter(std::vector<std::string> candidates, Options options);
  EventWriter(std::vector<std::string> candidates);
  ~EventWriter() override;  // Stop()
  EventWriter(const EventWriter&) = delete;
  EventWriter& operator=(const EventWriter&) = delete;

  // Any thread. Queues `line` (one encoded event) and returns without touching the socket.
  void Post(std::string line) override;

  // Writes what is still held, for at most flush_grace, closes the socket and ends the
  // thread. Idempotent; later posts are dropped.
  void Stop();

  State state() const;
  uint64_t dropped_total() const;  // every event dropped for the bound since the start

 private:
  void Run();
  enum class WriteOutcome { kAll, kFull, kPeerGone };
  // Writer thread: writes `out` from `sent` on as far as the socket takes it.
  WriteOutcome WriteSome(const std::string& out, size_t& sent);
  // Writer thread: moves the queued events to `out`; false when there are none.
  bool TakeQueued(std::string& out);
  void Release(size_t bytes);  // writer thread: `bytes` of the held events are written
  void Close();                // writer thread: from now on every event is dropped

  const std::vector<std::string> candidates_;
  const Options options_;
  StopSignal stop_;
  const int wake_fd_;  // readable when the queue goes from empty to not empty
  int fd_ = -1;

  mutable std::mutex mutex_;
  std::deque<std::string> queue_;
  size_t held_ = 0;          // bytes queued or taken but not yet written
  uint64_t unreported_ = 0;  // dropped since the last "dropped" event was queued
  uint64_t dropped_total_ = 0;
  State state_ = State::kConnecting;

  std::thread thread_;
};

}  // namespace trb
