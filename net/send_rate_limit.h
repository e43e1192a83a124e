#ifndef VEXA_NET_SEND_RATE_LIMIT_H_
#define VEXA_NET_SEND_RATE_LIMIT_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "port/mutex.h"
#include "port/thread_annotations.h"

namespace vexa {

// A cap on how fast upload bytes leave the process, for a user who shares a
// slow line: a token bucket that fills at the rate and holds at most half a
// second of it (or one piece, whichever is more), so the rate averaged over
// any few seconds stays at or below the cap. It only delays sends; the bytes
// sent are the same.
class SendRateLimiter {
 public:
  using Clock = std::function<uint64_t()>;  // milliseconds, monotonic
  using Sleep = std::function<void(uint32_t ms)>;

  // The system clock and sleep unless a test gives its own.
  SendRateLimiter();
  SendRateLimiter(Clock clock, Sleep sleep);
  SendRateLimiter(const SendRateLimiter&) = delete;
  SendRateLimiter& operator=(const SendRateLimiter&) = delete;

  // Bytes per second; 0 lifts the cap. The bucket starts empty.
  void SetRate(uint64_t bytes_per_second);
  uint64_t rate() const;

  // Waits until `bytes` more may be sent. While waiting it asks `stopped`
  // every kPollMs and returns false as soon as it says so (nothing is taken
  // then). Returns at once without a cap. Any thread.
  bool Acquire(size_t bytes, const std::function<bool()>& stopped);

  static constexpr uint32_t kPollMs = 100;

 private:
  // Adds what the time since the last refill earned, up to the bucket's size.
  void Refill(size_t bytes) REQUIRES(mu_);

  const Clock clock_;
  const Sleep sleep_;
  mutable port::Mutex mu_;
  uint64_t rate_ GUARDED_BY(mu_) = 0;
  double tokens_ GUARDED_BY(mu_) = 0;
  uint64_t refilled_ms_ GUARDED_BY(mu_) = 0;
};

// The one the upload sender honours; `vexaupload upload --limit-rate` sets it.
SendRateLimiter& ProcessSendRateLimiter();

}  // namespace vexa

#endif  // VEXA_NET_SEND_RATE_LIMIT_H_
