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

// Processor time the calling thread has used, in microseconds.
uint64_t CurrentThreadCpuMicroseconds();

}  // namespace zep::platform
