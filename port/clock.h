#ifndef VEXA_PORT_CLOCK_H_
#define VEXA_PORT_CLOCK_H_

#include <cstdint>

namespace vexa::port {

// Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after
// about 49.7 days, so callers compare ticks by unsigned subtraction.
uint32_t TickCount();

// Milliseconds of a monotonic clock, never wrapping.
uint64_t MonotonicMillis();

void SleepMs(uint32_t ms);

// Whole seconds since 1970-01-01 00:00:00 UTC from the system clock.
uint64_t UnixTimeSeconds();

}  // namespace vexa::port

#endif  // VEXA_PORT_CLOCK_H_
