// Paces the hand-off of own-scheme URLs to the desktop, so that a page navigating to them
// in a loop cannot start one desktop process per navigation.
#pragma once

#include <chrono>

namespace trb {

// A burst passes at once (a sign-in page that ends on a "tavrin:" URL, a user clicking a few
// links); beyond it, one hand-off per interval. What is refused is dropped: the navigation
// is cancelled all the same, so nothing else changes for the page.
class HandOffLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kBurst = 5;
  static constexpr std::chrono::milliseconds kInterval{500};

  bool Allow(Clock::time_point now);

 private:
  int tokens_ = kBurst;
  Clock::time_point refilled_{};
  bool started_ = false;
};

}  // namespace trb
