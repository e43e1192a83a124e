#ifndef VEXA_SERVER_RANGE_PHASES_H_
#define VEXA_SERVER_RANGE_PHASES_H_

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace vexa::server {

// Microseconds spent in each phase of one range, for the benchmark's log:
// one line per range, printed when the range's handling ends.
class RangePhases {
 public:
  // The request head's time counts from when the connection was taken.
  explicit RangePhases(std::FILE* log);
  ~RangePhases() { Print(); }
  RangePhases(const RangePhases&) = delete;
  RangePhases& operator=(const RangePhases&) = delete;

  enum Phase {
    kHead,
    kReceive,
    kParse,
    kCheck,
    kDigest,
    kWrite,
    kFileDigest,
    kSync,
    kCommit,
    kFinish,
    kCount
  };

  // Charges the time since the last call to `phase`.
  void End(Phase phase);

  void Print() const;

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* const log_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_ = start_;
  int64_t us_[kCount] = {};
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_RANGE_PHASES_H_
