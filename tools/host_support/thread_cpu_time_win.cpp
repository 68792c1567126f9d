#include <windows.h>

#include "host_support/thread_cpu_time.h"

namespace zep::host {

uint64_t CurrentThreadCpuMicroseconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) / 10;  // 100 ns units
}

}  // namespace zep::host
