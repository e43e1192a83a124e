#include <windows.h>

#include "port/clock.h"

namespace vexa::port {

uint32_t TickCount() { return ::GetTickCount(); }

uint64_t MonotonicMillis() { return ::GetTickCount64(); }

void SleepMs(uint32_t ms) { ::Sleep(ms); }

uint64_t UnixTimeSeconds() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // 100 ns units since 1601-01-01.
  return t / 10000000 - 11644473600ULL;
}

}  // namespace vexa::port
