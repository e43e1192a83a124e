#include "server/login_guard.h"

#include <gtest/gtest.h>

namespace vexa::server {
namespace {

constexpr int64_t kT = 1'700'000'000'000;  // a wall-clock time in ms

TEST(LoginGuardTest, ASignedBodyIsAcceptedOnceExceptForItsOwnClientsSecond) {
  LoginGuard g;
  const int64_t until = kT + 600'000;
  EXPECT_TRUE(g.FirstUse("alice", "1700000000", "s1", "10.0.0.1", kT, until));
  // The same client within its clock's second: a second login, not a replay.
  EXPECT_TRUE(g.FirstUse("alice", "1700000000", "s1", "10.0.0.1", kT + 900, until));
  // Later, or from elsewhere: a replay.
  EXPECT_FALSE(g.FirstUse("alice", "1700000000", "s1", "10.0.0.1", kT + 2500, until));
  EXPECT_FALSE(g.FirstUse("alice", "1700000000", "s1", "10.0.0.2", kT + 100, until));
  EXPECT_FALSE(g.FirstUse("alice", "1700000000", "s1", "10.0.0.1", until, until));
  // Any field differing makes another body.
  EXPECT_TRUE(g.FirstUse("alice", "1700000001", "s1", "10.0.0.2", kT + 100, until));
  EXPECT_TRUE(g.FirstUse("alice", "1700000000", "s2", "10.0.0.2", kT + 100, until));
  EXPECT_TRUE(g.FirstUse("alice2", "1700000000", "s1", "10.0.0.2", kT + 100, until));
  // Forgotten once its time is refused anyway.
  EXPECT_TRUE(g.FirstUse("alice", "1700000000", "s1", "10.0.0.2", until + 1, until + 1000));
}

TEST(LoginGuardTest, FailuresThrottleTheAccountFromThatAddressBeforeAnythingElse) {
  LoginGuard g;
  for (int i = 0; i < LoginGuard::kMaxFailures - 1; ++i)
    g.RecordFailure("alice", "10.0.0.1", kT + i);
  EXPECT_FALSE(g.Throttled("alice", "10.0.0.1", kT + 100));
  g.RecordFailure("alice", "10.0.0.1", kT + 100);
  EXPECT_TRUE(g.Throttled("alice", "10.0.0.1", kT + 200));
  // Someone guessing elsewhere does not lock the owner out, nor other accounts.
  EXPECT_FALSE(g.Throttled("alice", "10.0.0.9", kT + 200));
  EXPECT_FALSE(g.Throttled("bob", "10.0.0.1", kT + 200));
  // Free again once the oldest failure leaves the minute.
  EXPECT_FALSE(g.Throttled("alice", "10.0.0.1", kT + LoginGuard::kFailureWindowMs));

  // An address trying many accounts, and an account tried from many
  // addresses, are throttled too, only later.
  LoginGuard spray;
  for (int i = 0; i < LoginGuard::kMaxAddressFailures; ++i) {
    EXPECT_FALSE(spray.Throttled("user" + std::to_string(i), "10.0.0.1", kT + i)) << i;
    spray.RecordFailure("user" + std::to_string(i), "10.0.0.1", kT + i);
  }
  EXPECT_TRUE(spray.Throttled("another", "10.0.0.1", kT + 100));
  EXPECT_FALSE(spray.Throttled("another", "10.0.0.2", kT + 100));
  LoginGuard many;
  for (int i = 0; i < LoginGuard::kMaxAccountFailures; ++i) {
    EXPECT_FALSE(many.Throttled("alice", "10.1." + std::to_string(i) + ".1", kT + i)) << i;
    many.RecordFailure("alice", "10.1." + std::to_string(i) + ".1", kT + i);
  }
  EXPECT_TRUE(many.Throttled("alice", "10.0.0.9", kT + 200));
  EXPECT_FALSE(many.Throttled("bob", "10.0.0.9", kT + 200));

  // Failures spread over more than a minute never add up to a throttle.
  LoginGuard slow;
  for (int i = 0; i < 3 * LoginGuard::kMaxFailures; ++i) {
    const int64_t now = kT + i * (LoginGuard::kFailureWindowMs / LoginGuard::kMaxFailures + 1);
    EXPECT_FALSE(slow.Throttled("alice", "10.0.0.1", now)) << i;
    slow.RecordFailure("alice", "10.0.0.1", now);
  }
}

}  // namespace
}  // namespace vexa::server
