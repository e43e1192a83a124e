#ifndef VEXA_PORT_THREAD_H_
#define VEXA_PORT_THREAD_H_

#include <cstdint>
#include <functional>

namespace vexa::port {

// Starts `fn` on a new detached thread, which has its own stack for signal
// handlers (a stack overflow on it still leaves a crash report). Returns false
// when no thread could be started (the function is then not run).
bool StartDetachedThread(std::function<void()> fn);

// How many threads StartDetachedThread started are still running. A module
// that may be unloaded keeps its code while any of them lives.
int RunningDetachedThreads();

// A small number naming the calling thread in diagnostics.
uint64_t CurrentThreadId();

}  // namespace vexa::port

#endif  // VEXA_PORT_THREAD_H_
