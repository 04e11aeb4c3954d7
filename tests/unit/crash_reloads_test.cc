#include "policy/crash_reloads.h"

#include <gtest/gtest.h>

namespace trb {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

const CrashReloads::Clock::time_point kStart = CrashReloads::Clock::time_point{} + minutes(60);

// A renderer that dies again as soon as its page is back: reloaded three times, then left.
TEST(CrashReloads, ACrashLoopEndsAfterThreeReloads) {
  CrashReloads reloads;
  auto t = kStart;
  for (int i = 0; i < CrashReloads::kMaxReloads; ++i) {
    auto ticket = reloads.OnRendererGone(t);
    ASSERT_TRUE(ticket) << i;
    t += seconds(5);
    EXPECT_TRUE(reloads.TakeDue(*ticket, t)) << i;
    t += seconds(1);
  }
  EXPECT_FALSE(reloads.OnRendererGone(t));
  EXPECT_FALSE(reloads.waiting());
  // Still refused just inside the window of the first reload, allowed once it has passed.
  EXPECT_FALSE(reloads.OnRendererGone(kStart + seconds(5) + CrashReloads::kWindow - seconds(1)));
  EXPECT_TRUE(reloads.OnRendererGone(kStart + seconds(5) + CrashReloads::kWindow));
}

TEST(CrashReloads, ReloadsFarApartAreNeverLimited) {
  CrashReloads reloads;
  auto t = kStart;
  for (int i = 0; i < 10; ++i, t += minutes(2)) {
    auto ticket = reloads.OnRendererGone(t);
    ASSERT_TRUE(ticket) << i;
    EXPECT_TRUE(reloads.TakeDue(*ticket, t + seconds(1))) << i;
  }
}

TEST(CrashReloads, CancelledOrReplacedReloadsDoNotHappenAndDoNotCount) {
  CrashReloads reloads;
  auto first = reloads.OnRendererGone(kStart);
  ASSERT_TRUE(first);
  EXPECT_TRUE(reloads.waiting());
  // A second death while one waits schedules nothing more.
  EXPECT_FALSE(reloads.OnRendererGone(kStart + seconds(1)));
  reloads.Cancel();
  EXPECT_FALSE(reloads.TakeDue(*first, kStart + seconds(5)));
  // A new death after the cancel gets a ticket of its own; the old one stays void.
  auto second = reloads.OnRendererGone(kStart + seconds(6));
  ASSERT_TRUE(second);
  EXPECT_FALSE(reloads.TakeDue(*first, kStart + seconds(7)));
  EXPECT_TRUE(reloads.TakeDue(*second, kStart + seconds(11)));
  EXPECT_FALSE(reloads.TakeDue(*second, kStart + seconds(12)));
  // Cancelled reloads were not made: two more fit in the window.
  for (int i = 0; i < CrashReloads::kMaxReloads - 1; ++i) {
    auto ticket = reloads.OnRendererGone(kStart + seconds(20 + i));
    ASSERT_TRUE(ticket) << i;
    EXPECT_TRUE(reloads.TakeDue(*ticket, kStart + seconds(20 + i))) << i;
  }
  EXPECT_FALSE(reloads.OnRendererGone(kStart + seconds(30)));
}

}  // namespace
}  // namespace trb
