#ifndef VEXA_PORT_EVENT_H_
#define VEXA_PORT_EVENT_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vexa::port {

// An auto-reset event: Set() wakes exactly one waiter (or the next one to wait)
// and the event falls back to unsignalled as that waiter returns.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  // Waits until the event is set or `timeout_ms` passes. Returns true when it
  // was set (and consumes the signal), false on time-out.
  bool Wait(uint32_t timeout_ms);
  // Waits without limit.
  void Wait();

 private:
#if defined(_WIN32)
  void* handle_;  // an auto-reset event object
#else
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
#endif
};

}  // namespace vexa::port

#endif  // VEXA_PORT_EVENT_H_
