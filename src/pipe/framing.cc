#include "pipe/framing.h"

#include <utility>

#include "policy/split.h"

namespace trb {

Framer::Pieces Framer::Feed(std::string_view delivered, bool more_may_follow) {
  Pieces out;
  const size_t zero = delivered.find('\0');
  const bool cut_by_zero = zero != std::string_view::npos;
  if (cut_by_zero) delivered = delivered.substr(0, zero);
  more_may_follow = more_may_follow && !cut_by_zero;

  if (discarding_) {
    const size_t end = delivered.find(';');
    if (end == std::string_view::npos) {
      discarding_ = more_may_follow;
      return out;
    }
    discarding_ = false;
    delivered.remove_prefix(end + 1);
    // What followed the over-long command is a fresh start; an empty rest is nothing.
    if (delivered.empty()) return out;
  }

  if (!carried_.empty()) {
    // The carried tail holds no ';', so only the new bytes need looking at: rescanning the
    // tail at every read would make a long command cost quadratic time.
    const size_t end = delivered.find(';');
    if (end == std::string_view::npos) {
      carried_.append(delivered);
      if (!more_may_follow) {
        out.pieces.push_back(std::exchange(carried_, {}));
      } else if (carried_.size() > kMaxCarried) {
        out.over_long = std::exchange(carried_, {});
        discarding_ = true;
      }
      return out;
    }
    std::string first = std::exchange(carried_, {});
    first.append(delivered.substr(0, end));
    out.pieces.push_back(std::move(first));
    delivered.remove_prefix(end + 1);
    if (delivered.empty()) return out;
    for (std::string& piece : SplitAtSemicolons(delivered)) out.pieces.push_back(std::move(piece));
  } else {
    out.pieces = SplitAtSemicolons(delivered);
  }

  if (more_may_follow && (delivered.empty() || delivered.back() != ';')) {
    carried_ = std::move(out.pieces.back());
    out.pieces.pop_back();
  }
  return out;
}

}  // namespace trb
