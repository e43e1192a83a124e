#include <chrono>

#include "port/event.h"

namespace vexa::port {

Event::Event() = default;
Event::~Event() = default;

void Event::Set() {
  // Notified under the lock: a waiter that wakes may destroy the event at
  // once (a finished worker's "done" signal), and must not do so while this
  // call still touches the condition variable.
  std::lock_guard<std::mutex> l(mu_);
  signalled_ = true;
  cv_.notify_one();
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> l(mu_);
  if (!cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; })) {
    return false;
  }
  signalled_ = false;
  return true;
}

void Event::Wait() {
  std::unique_lock<std::mutex> l(mu_);
  cv_.wait(l, [this] { return signalled_; });
  signalled_ = false;
}

}  // namespace vexa::port
