#include "net/send_rate_limit.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

// A clock that only the limiter's sleeps move.
struct FakeTime {
  uint64_t now_ms = 1000;
  uint64_t slept_ms = 0;
  SendRateLimiter limiter{[this] { return now_ms; },
                          [this](uint32_t ms) {
                            now_ms += ms;
                            slept_ms += ms;
                          }};
};

TEST(SendRateLimiterTest, SendsAtTheRateWithoutARunAhead) {
  const struct {
    uint64_t rate;
    size_t piece;
    int pieces;
  } cases[] = {
      {1000, 100, 50}, {1000, 8096, 3}, {512 * 1024, 8096, 400}, {2 * 1024 * 1024, 8096, 1000}};
  for (const auto& c : cases) {
    FakeTime t;
    t.limiter.SetRate(c.rate);
    for (int i = 0; i < c.pieces; ++i) ASSERT_TRUE(t.limiter.Acquire(c.piece, nullptr));
    const double bytes = static_cast<double>(c.piece) * c.pieces;
    const double ideal_ms = bytes * 1000.0 / static_cast<double>(c.rate);
    EXPECT_GE(static_cast<double>(t.slept_ms), ideal_ms - 1) << c.rate << "/" << c.piece;
    EXPECT_LE(static_cast<double>(t.slept_ms), ideal_ms + c.pieces + 1) << c.rate << "/" << c.piece;
  }
}

TEST(SendRateLimiterTest, IdleTimeSavesUpAtMostHalfASecond) {
  FakeTime t;
  t.limiter.SetRate(10000);
  t.now_ms += 60000;  // a minute between two files
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(t.limiter.Acquire(100, nullptr));
  EXPECT_EQ(0u, t.slept_ms) << "half a second's worth goes at once";
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(t.limiter.Acquire(100, nullptr));
  EXPECT_GE(t.slept_ms, 999u);
}

TEST(SendRateLimiterTest, NoCapNeverWaitsAndAStopEndsTheWait) {
  FakeTime t;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(t.limiter.Acquire(1 << 20, nullptr));
  EXPECT_EQ(0u, t.slept_ms);

  t.limiter.SetRate(100);  // a piece of 8096 bytes would take 81 s
  int asked = 0;
  EXPECT_FALSE(t.limiter.Acquire(8096, [&asked] { return ++asked == 3; }));
  EXPECT_EQ(3, asked);
  EXPECT_LE(t.slept_ms, 2 * SendRateLimiter::kPollMs);
  t.limiter.SetRate(0);
  EXPECT_TRUE(t.limiter.Acquire(8096, [] { return true; }));
}

}  // namespace
}  // namespace vexa
