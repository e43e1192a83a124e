#ifndef VEXA_PORT_TESTING_FAKE_CLOCK_ENV_H_
#define VEXA_PORT_TESTING_FAKE_CLOCK_ENV_H_

// Test support: an environment whose clock moves only when told to.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "port/clock.h"
#include "port/env.h"
#include "port/event.h"

namespace vexa::port {

// A sleep returns at once, its time added to the clock (the sleeper's time
// has passed); a wait for an event ends when the event is set or when the
// clock reaches the wait's end, moved there by Advance, by a sleep on another
// thread or, after a few real milliseconds without the event, by the waiter
// itself (so a thread's one-second passes come every few milliseconds).
// Files and threads are the system's.
class FakeClockEnv : public EnvWrapper {
 public:
  // Far from 0, which callers read as "no time taken yet".
  static constexpr uint64_t kStartMillis = 1'000'000'000;

  FakeClockEnv() : EnvWrapper(Env::Default()) {}

  uint64_t MonotonicMillis() override {
    std::lock_guard<std::mutex> l(mu_);
    return now_ms_;
  }
  // The system's time of day until a test sets it (a real service checks a
  // login's); from then on it moves with this clock.
  uint64_t UnixTimeSeconds() override {
    std::lock_guard<std::mutex> l(mu_);
    if (!unix_base_) return port::UnixTimeSeconds();
    return *unix_base_ + (now_ms_ - kStartMillis) / 1000;
  }
  void SleepMs(uint32_t ms) override {
    {
      std::unique_lock<std::mutex> l(mu_);
      const uint64_t end = now_ms_ + ms;
      slept_ms_ += ms;
      ++sleepers_;
      cv_.notify_all();
      cv_.wait(l, [&] { return !hold_ || now_ms_ >= end; });
      --sleepers_;
      if (now_ms_ < end) now_ms_ = end;
    }
    // Gives the threads the sleeper would have let run a chance to.
    port::SleepMs(0);
  }
  bool WaitForEvent(Event* event, uint32_t timeout_ms) override {
    const uint64_t end = MonotonicMillis() + timeout_ms;
    for (int polls = 1;; ++polls) {
      // A short real wait per look at the clock: nothing announces a move.
      if (event->Wait(kPollMs)) return true;
      std::lock_guard<std::mutex> l(mu_);
      if (now_ms_ >= end) return false;
      // Not while sleeps are held: the test moves the clock then.
      if (polls >= kIdlePolls && !hold_) {
        now_ms_ = end;
        cv_.notify_all();
        return false;
      }
    }
  }

  void Advance(uint64_t ms) {
    std::lock_guard<std::mutex> l(mu_);
    now_ms_ += ms;
    cv_.notify_all();
  }
  // While held, a sleep lasts until Advance (or the release) reaches its
  // end, so a test can act while a thread sleeps.
  void HoldSleeps(bool hold) {
    std::lock_guard<std::mutex> l(mu_);
    hold_ = hold;
    cv_.notify_all();
  }
  // Waits (in real time, up to `timeout_ms`) until a sleep is held.
  bool WaitForHeldSleep(uint32_t timeout_ms = 10000) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms),
                        [this] { return hold_ && sleepers_ > 0; });
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
  static constexpr int kIdlePolls = 10;

  std::mutex mu_;
  std::condition_variable cv_;
  bool hold_ = false;
  int sleepers_ = 0;
  uint64_t now_ms_ = kStartMillis;
  std::optional<uint64_t> unix_base_;
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
