// The connected byte stream the pipe thread talks over, whatever carries it (a Unix socket
// here; a Windows named pipe can sit behind the same seam).
#pragma once

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

  // Writes all of `bytes` as one reply. Failures are not reported: the reply is lost and the
  // next Read finds the connection closed. Never raises SIGPIPE, and never blocks for long
  // once the stop signal is set.
  virtual void Write(std::string_view bytes) = 0;
};

}  // namespace trb
