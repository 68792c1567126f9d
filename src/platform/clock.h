// Millisecond ticks and the local wall-clock time.
#pragma once

#include <cstdint>

namespace zep::platform {

// Milliseconds since system start; wraps after about 49.7 days.
uint32_t TickCount();

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
LocalTime CurrentLocalTime();

// Seconds since 1970-01-01 UTC, as time() gives them. Read from the system
// clock directly: the C runtime's time() on Windows also asks for the time
// zone, which under Wine reads the zone file every call.
int64_t CurrentUnixSeconds();

// Nanoseconds of a clock that never goes back; from an arbitrary start.
uint64_t MonotonicNanoseconds();

// Nanoseconds since 1970-01-01 UTC: the clock file time stamps are taken from.
int64_t WallClockNanoseconds();

}  // namespace zep::platform
