// Cutting what the controller sends into command pieces, read by read. Commands end at ';'
// only; a command cut in two by the read size is put back together.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trb {

class Framer {
 public:
  // The most bytes one read asks for.
  static constexpr size_t kReadSize = 2047;
  // The longest unfinished command kept across reads.
  static constexpr size_t kMaxCarried = size_t{4} << 20;

  struct Pieces {
    // To be handled now, in order.
    std::vector<std::string> pieces;
    // Set when an unfinished command grew beyond kMaxCarried: its text so far, to be
    // answered with the syntax error after `pieces`.
    std::optional<std::string> over_long;
  };

  // Takes the bytes one read delivered; `more_may_follow` tells whether the reader expects
  // the rest of an unfinished command to come (see PipeController::Serve for when).
  //
  // The text is the carried tail followed by the bytes up to the first zero byte (what
  // follows a zero byte is dropped). Its pieces are those of SplitAtSemicolons, all handled
  // at once, except that when more may follow, there is no zero byte and the text does not
  // end with ';', the last piece is carried to the next read. A zero byte therefore also ends
  // a carried command: the tail and the text before the zero byte are handled at once.
  //
  // A carried command longer than kMaxCarried comes back in `over_long`, and the rest of it,
  // up to and including its ';' (or to the end of a read after which nothing more is
  // expected), is dropped.
  Pieces Feed(std::string_view delivered, bool more_may_follow);

  const std::string& carried() const { return carried_; }

 private:
  std::string carried_;
  bool discarding_ = false;  // inside the rest of an over-long command
};

}  // namespace trb
