#include <atomic>
#include <system_error>
#include <thread>

#include "port/signal_stack.h"
#include "port/thread.h"

namespace vexa::port {
namespace {

std::atomic<int> running{0};

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
  ++running;
  try {
    std::thread([fn = std::move(fn)]() mutable {
      {
        const std::function<void()> body = std::move(fn);  // its captures go before the count drops
        ScopedSignalStack signal_stack;
        body();
      }
      --running;
    }).detach();
    return true;
  } catch (const std::system_error&) {
    --running;
    return false;
  }
}

int RunningDetachedThreads() { return running.load(); }

uint64_t CurrentThreadId() {
  static std::atomic<uint64_t> next{1};
  thread_local uint64_t id = next.fetch_add(1);
  return id;
}

}  // namespace vexa::port
