#include <windows.h>

#include "port/signal_stack.h"

namespace vexa::port {

// Windows has no signal stacks: the thread keeps kSize bytes of its own stack
// for the unhandled-exception filter, so a stack overflow is reported too. The
// guarantee ends with the thread.
ScopedSignalStack::ScopedSignalStack() {
  ULONG size = kSize;
  ::SetThreadStackGuarantee(&size);
}

ScopedSignalStack::~ScopedSignalStack() = default;

}  // namespace vexa::port
