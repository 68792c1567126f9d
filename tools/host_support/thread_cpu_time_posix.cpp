#include <time.h>

#include "host_support/thread_cpu_time.h"

namespace zep::host {

uint64_t CurrentThreadCpuMicroseconds() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<uint64_t>(used.tv_sec) * 1000000u + static_cast<uint64_t>(used.tv_nsec) / 1000u;
}

}  // namespace zep::host
