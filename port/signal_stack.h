#ifndef VEXA_PORT_SIGNAL_STACK_H_
#define VEXA_PORT_SIGNAL_STACK_H_

#include <cstddef>

namespace vexa::port {

// Gives the calling thread an alternate stack for signal handlers, so that
// the crash reporter still runs after a stack overflow of this thread. A
// thread that has one at least as large already keeps it. The destructor
// puts the previous one back; it must run on the same thread.
class ScopedSignalStack {
 public:
  ScopedSignalStack();
  ~ScopedSignalStack();
  ScopedSignalStack(const ScopedSignalStack&) = delete;
  ScopedSignalStack& operator=(const ScopedSignalStack&) = delete;

  static constexpr size_t kSize = 64 * 1024;

 private:
  char* stack_ = nullptr;  // ours, while installed
  void* previous_ = nullptr;
  size_t previous_size_ = 0;
  int previous_flags_ = 0;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_SIGNAL_STACK_H_
