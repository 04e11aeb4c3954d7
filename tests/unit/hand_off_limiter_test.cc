#include "policy/hand_off_limiter.h"

#include <gtest/gtest.h>

namespace trb {
namespace {

using std::chrono::milliseconds;

TEST(HandOffLimiter, BurstThenOnePerInterval) {
  HandOffLimiter limiter;
  const auto t0 = HandOffLimiter::Clock::time_point{} + std::chrono::hours(1);
  for (int i = 0; i < HandOffLimiter::kBurst; ++i) EXPECT_TRUE(limiter.Allow(t0)) << i;
  EXPECT_FALSE(limiter.Allow(t0));
  EXPECT_FALSE(limiter.Allow(t0 + HandOffLimiter::kInterval - milliseconds(1)));
  EXPECT_TRUE(limiter.Allow(t0 + HandOffLimiter::kInterval));
  EXPECT_FALSE(limiter.Allow(t0 + HandOffLimiter::kInterval));
  // Part of an interval already waited counts towards the next token.
  EXPECT_TRUE(limiter.Allow(t0 + 2 * HandOffLimiter::kInterval));
}

TEST(HandOffLimiter, QuietTimeRefillsTheBurstButNoMore) {
  HandOffLimiter limiter;
  auto t = HandOffLimiter::Clock::time_point{} + std::chrono::hours(1);
  for (int i = 0; i < HandOffLimiter::kBurst; ++i) ASSERT_TRUE(limiter.Allow(t));
  t += std::chrono::minutes(10);
  int passed = 0;
  for (int i = 0; i < 3 * HandOffLimiter::kBurst; ++i) passed += limiter.Allow(t) ? 1 : 0;
  EXPECT_EQ(passed, HandOffLimiter::kBurst);
}

TEST(HandOffLimiter, ALoopIsHeldToTheRate) {
  HandOffLimiter limiter;
  auto t = HandOffLimiter::Clock::time_point{} + std::chrono::hours(1);
  int passed = 0;
  // Ten seconds of a page navigating every 5 ms.
  for (int i = 0; i < 2000; ++i, t += milliseconds(5)) passed += limiter.Allow(t) ? 1 : 0;
  EXPECT_EQ(passed, HandOffLimiter::kBurst + 10000 / HandOffLimiter::kInterval.count() - 1);
}

}  // namespace
}  // namespace trb
