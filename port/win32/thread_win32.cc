#include <windows.h>
#include <process.h>

#include <memory>

#include "port/signal_stack.h"
#include "port/thread.h"

namespace vexa::port {
namespace {

LONG running = 0;

unsigned __stdcall ThreadMain(void* arg) {
  {
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
    ScopedSignalStack signal_stack;
    (*fn)();
  }
  ::InterlockedDecrement(&running);
  return 0;
}

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
  auto* arg = new std::function<void()>(std::move(fn));
  ::InterlockedIncrement(&running);
  // _beginthreadex, not CreateThread: the thread uses the C runtime.
  const uintptr_t h = ::_beginthreadex(nullptr, 0, ThreadMain, arg, 0, nullptr);
  if (h == 0) {
    ::InterlockedDecrement(&running);
    delete arg;
    return false;
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(h));
  return true;
}

int RunningDetachedThreads() {
  return static_cast<int>(::InterlockedCompareExchange(&running, 0, 0));
}

uint64_t CurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace vexa::port
