// The processor's time-stamp counter: a clock read in a few nanoseconds with
// no call into the system (a monotonic clock call costs about 30 ns natively
// here and 130 ns under Wine), for deadlines close at hand.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace zep::platform {

// True when the counter runs at one constant rate on every core, whatever
// the cores' speed and power states (the processor says so: an invariant
// counter). Otherwise the counter measures no time and CycleCount answers 0.
bool CycleCounterIsSteady();

inline uint64_t CycleCount() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return 0;
#endif
}

}  // namespace zep::platform
