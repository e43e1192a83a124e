#ifndef VEXA_PORT_TESTING_FAKE_CLOCK_ENV_H_
#define VEXA_PORT_TESTING_FAKE_CLOCK_ENV_H_

// Test support: an environment whose clock moves only when told to.

#include <cstdint>
#include <mutex>

#include "port/env.h"
#include "port/event.h"

namespace vexa::port {

// A sleep returns at once, its time added to the clock (the sleeper's time
// has passed); a wait for an event ends when the event is set or when the
// clock reaches the wait's end, moved there by Advance or by a sleep on
// another thread. Files and threads are the system's.
class FakeClockEnv : public EnvWrapper {
 public:
  // Far from 0, which callers read as "no time taken yet".
  static constexpr uint64_t kStartMillis = 1'000'000'000;
  static constexpr uint64_t kStartUnixSeconds = 1'700'000'000;

  FakeClockEnv() : EnvWrapper(Env::Default()) {}

  uint64_t MonotonicMillis() override {
    std::lock_guard<std::mutex> l(mu_);
    return now_ms_;
  }
  uint64_t UnixTimeSeconds() override {
    std::lock_guard<std::mutex> l(mu_);
    return unix_base_ + (now_ms_ - kStartMillis) / 1000;
  }
  void SleepMs(uint32_t ms) override {
    {
      std::lock_guard<std::mutex> l(mu_);
      now_ms_ += ms;
      slept_ms_ += ms;
    }
    // Gives the threads the sleeper would have let run a chance to.
    port::SleepMs(0);
  }
  bool WaitForEvent(Event* event, uint32_t timeout_ms) override {
    const uint64_t end = MonotonicMillis() + timeout_ms;
    for (;;) {
      // A short real wait per look at the clock: nothing announces a move.
      if (event->Wait(kPollMs)) return true;
      if (MonotonicMillis() >= end) return false;
    }
  }

  void Advance(uint64_t ms) {
    std::lock_guard<std::mutex> l(mu_);
    now_ms_ += ms;
  }
  void SetUnixTimeSeconds(uint64_t seconds) {
    std::lock_guard<std::mutex> l(mu_);
    unix_base_ = seconds - (now_ms_ - kStartMillis) / 1000;
  }
  // The sum of every sleep so far.
  uint64_t SleptMs() {
    std::lock_guard<std::mutex> l(mu_);
    return slept_ms_;
  }

 private:
  static constexpr uint32_t kPollMs = 2;

  std::mutex mu_;
  uint64_t now_ms_ = kStartMillis;
  uint64_t unix_base_ = kStartUnixSeconds;
  uint64_t slept_ms_ = 0;
};

// Installs `env` as the process-wide environment for the scope's life.
class ScopedCurrentEnv {
 public:
  explicit ScopedCurrentEnv(Env* env) : old_(TEST_SetCurrentEnv(env)) {}
  ~ScopedCurrentEnv() { TEST_SetCurrentEnv(old_); }
  ScopedCurrentEnv(const ScopedCurrentEnv&) = delete;
  ScopedCurrentEnv& operator=(const ScopedCurrentEnv&) = delete;

 private:
  Env* const old_;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_TESTING_FAKE_CLOCK_ENV_H_
