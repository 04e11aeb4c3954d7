// The events socket of a session, controller side: takes the browser's connection, prints
// each event as it comes (--events) and keeps the load events that --wait-load looks for.
#pragma once

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>

namespace trbctl {

class EventStream {
 public:
  // Takes over `listen_fd`, listening at `path` (removed once the browser has connected, or
  // when the stream goes). `print`, if not null, receives every event line at once.
  EventStream(int listen_fd, std::string path, std::FILE* print);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // The descriptor to watch for POLLIN and then hand to Service: the listener until the
  // browser has connected, then the connection; -1 once that has ended.
  int fd() const { return conn_fd_ >= 0 ? conn_fd_ : listen_fd_; }
  // Accepts the browser's connection, or reads what it sent; never waits.
  void Service();
  // Services whatever is already waiting. The browser connects its events before its
  // command pipe, so once the command connection is in, this tells whether it has events.
  void ServicePending();

  bool connected() const { return connected_; }  // the browser connected at some point
  bool ended() const { return connected_ && conn_fd_ < 0; }

  // True when a load event whose URL starts with `prefix` has come since the last one
  // taken; it and the load events before it are consumed.
  bool TakeLoad(std::string_view prefix);

  // Reads until the browser closes its end, or until `deadline`.
  void DrainUntilClosed(std::chrono::steady_clock::time_point deadline);

 private:
  void Accept();
  void Read();
  void OnLine(std::string_view line);
  void CloseConnection();

  int listen_fd_;
  int conn_fd_ = -1;
  std::string path_;
  std::FILE* print_;
  bool connected_ = false;
  std::string partial_;            // the start of a line still on its way
  std::deque<std::string> loads_;  // URLs of the load events not yet taken
};

}  // namespace trbctl
