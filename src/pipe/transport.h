// The connected byte stream the pipe thread talks over, whatever carries it (a Unix socket
// here; a Windows named pipe can sit behind the same seam).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

namespace trb {

class Transport {
 public:
  enum class Wait {
    kData,    // bytes are waiting, or the peer has closed: Read tells which
    kStop,    // the stop signal given at connection time is set (it wins over data)
    kClosed,  // the connection is unusable
  };

  virtual ~Transport() = default;  // closes the connection

  // Blocks until bytes can be read or the stop signal is set, without polling or sleeping.
  virtual Wait WaitReadable() = 0;

  // Reads what is waiting, at most `size` bytes, without blocking. Returns the count
  // (0 when nothing turned out to be waiting), or nullopt when the peer has closed or the
  // connection failed.
  virtual std::optional<size_t> Read(char* buffer, size_t size) = 0;

  // True when bytes are waiting or arrive within `wait`; false on time-out, stop or a
  // closed connection. Lets the reader tell a command still on its way from one that has
  // ended without its ';'. A transport that cannot tell answers false: the unfinished text
  // is then handled as it stands.
  virtual bool MoreArrivesWithin(std::chrono::milliseconds wait) {
    (void)wait;
    return false;
  }

  // Writes all of `bytes` as one reply. Failures are not reported: the reply is lost and the
  // next Read finds the connection closed. Never raises SIGPIPE, and never blocks for long
  // once the stop signal is set.
  virtual void Write(std::string_view bytes) = 0;
};

}  // namespace trb
