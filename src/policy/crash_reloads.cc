#include "policy/crash_reloads.h"

namespace trb {

std::optional<uint64_t> CrashReloads::OnRendererGone(Clock::time_point now) {
  if (waiting_) return std::nullopt;
  while (!made_.empty() && now - made_.front() >= kWindow) made_.pop_front();
  if (made_.size() >= static_cast<size_t>(kMaxReloads)) return std::nullopt;
  waiting_ = ++next_ticket_;
  return waiting_;
}

bool CrashReloads::TakeDue(uint64_t ticket, Clock::time_point now) {
  if (waiting_ != ticket) return false;
  waiting_.reset();
  made_.push_back(now);
  return true;
}

}  // namespace trb
