#include "policy/hand_off_limiter.h"

#include <algorithm>

namespace trb {

bool HandOffLimiter::Allow(Clock::time_point now) {
  if (!started_) {
    started_ = true;
    refilled_ = now;
  }
  if (now > refilled_) {
    const auto earned = (now - refilled_) / kInterval;
    if (earned > 0) {
      tokens_ = static_cast<int>(std::min<decltype(earned)>(kBurst, tokens_ + earned));
      // Keep the part of an interval not yet earned; a full bucket earns nothing more.
      refilled_ = tokens_ == kBurst ? now : refilled_ + earned * kInterval;
    }
  }
  if (tokens_ == 0) return false;
  --tokens_;
  return true;
}

}  // namespace trb
