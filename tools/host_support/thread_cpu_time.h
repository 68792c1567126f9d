// Processor time of the calling thread, for tests that tell waiting from spinning.
#pragma once

#include <cstdint>

namespace zep::host {

// Processor time the calling thread has used, in microseconds.
uint64_t CurrentThreadCpuMicroseconds();

}  // namespace zep::host
