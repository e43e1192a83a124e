#include <chrono>
#include <thread>

#include "port/clock.h"

namespace vexa::port {

uint64_t MonotonicMillis() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t TickCount() { return static_cast<uint32_t>(MonotonicMillis()); }

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t UnixTimeSeconds() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace vexa::port
