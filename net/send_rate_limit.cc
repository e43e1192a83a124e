#include "net/send_rate_limit.h"

#include <algorithm>
#include <cmath>

#include "port/clock.h"

namespace vexa {

SendRateLimiter::SendRateLimiter() : SendRateLimiter(port::MonotonicMillis, port::SleepMs) {}

SendRateLimiter::SendRateLimiter(Clock clock, Sleep sleep)
    : clock_(std::move(clock)), sleep_(std::move(sleep)) {}

void SendRateLimiter::SetRate(uint64_t bytes_per_second) {
  port::MutexLock l(&mu_);
  rate_ = bytes_per_second;
  // Empty, so the first second does not go out at twice the rate.
  tokens_ = 0;
  refilled_ms_ = clock_();
}

uint64_t SendRateLimiter::rate() const {
  port::MutexLock l(&mu_);
  return rate_;
}

void SendRateLimiter::Refill(size_t bytes) {
  const uint64_t now = clock_();
  if (now > refilled_ms_)
    tokens_ += static_cast<double>(now - refilled_ms_) * static_cast<double>(rate_) / 1000.0;
  refilled_ms_ = std::max(now, refilled_ms_);
  // Time spent idle (between files, waiting for an answer) does not save up
  // into a burst; a piece larger than half a second still fits.
  const double size = std::max(static_cast<double>(rate_) / 2.0, static_cast<double>(bytes));
  tokens_ = std::min(tokens_, size);
}

bool SendRateLimiter::Acquire(size_t bytes, const std::function<bool()>& stopped) {
  for (;;) {
    uint32_t wait_ms;
    {
      port::MutexLock l(&mu_);
      if (rate_ == 0) return true;
      Refill(bytes);
      if (tokens_ >= static_cast<double>(bytes)) {
        tokens_ -= static_cast<double>(bytes);
        return true;
      }
      const double missing_ms =
          (static_cast<double>(bytes) - tokens_) * 1000.0 / static_cast<double>(rate_);
      wait_ms = static_cast<uint32_t>(
          std::clamp(std::ceil(missing_ms), 1.0, static_cast<double>(kPollMs)));
    }
    if (stopped && stopped()) return false;
    sleep_(wait_ms);
  }
}

SendRateLimiter& ProcessSendRateLimiter() {
  static SendRateLimiter* limiter = new SendRateLimiter;
  return *limiter;
}

}  // namespace vexa
