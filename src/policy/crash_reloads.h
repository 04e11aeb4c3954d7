// Paces the reloads that bring a page back after its renderer died: each one a fixed time
// after the death, and at most kMaxReloads within kWindow, so that a page that kills its
// renderer at once ends on the error page instead of reloading forever.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace trb {

class CrashReloads {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMaxReloads = 3;
  static constexpr std::chrono::minutes kWindow{5};

  // The renderer died at `now`. Returns the ticket of a reload to make after the delay, or
  // nothing: when one is already waiting, or when kMaxReloads were made in the kWindow
  // before `now`.
  std::optional<uint64_t> OnRendererGone(Clock::time_point now);
  // The delay of `ticket` is over: true when that reload is still wanted (nothing cancelled
  // it since), and it then counts as made at `now`.
  bool TakeDue(uint64_t ticket, Clock::time_point now);
  // The controller sent the page elsewhere: a waiting reload is dropped.
  void Cancel() { waiting_.reset(); }
  bool waiting() const { return waiting_.has_value(); }

 private:
  std::optional<uint64_t> waiting_;
  uint64_t next_ticket_ = 0;
  std::deque<Clock::time_point> made_;  // times of the reloads of the last kWindow
};

}  // namespace trb
