#include <signal.h>

#include <cstdlib>

#include "port/signal_stack.h"

namespace vexa::port {

ScopedSignalStack::ScopedSignalStack() {
  stack_t old;
  if (::sigaltstack(nullptr, &old) != 0) return;
  if ((old.ss_flags & SS_DISABLE) == 0 && old.ss_size >= kSize) return;
  char* stack = static_cast<char*>(std::malloc(kSize));
  if (stack == nullptr) return;
  stack_t ss = {};
  ss.ss_sp = stack;
  ss.ss_size = kSize;
  if (::sigaltstack(&ss, nullptr) != 0) {
    std::free(stack);
    return;
  }
  stack_ = stack;
  previous_ = old.ss_sp;
  previous_size_ = old.ss_size;
  previous_flags_ = old.ss_flags;
}

ScopedSignalStack::~ScopedSignalStack() {
  if (stack_ == nullptr) return;
  // Whoever set the previous stack (a sanitizer's runtime, say) frees it
  // itself once it finds it back in place.
  stack_t ss = {};
  ss.ss_sp = previous_;
  ss.ss_size = previous_size_;
  ss.ss_flags = previous_flags_ & SS_DISABLE;
  if (::sigaltstack(&ss, nullptr) == 0) std::free(stack_);
}

}  // namespace vexa::port
