#include <sys/time.h>
#include <time.h>

#include "platform/clock.h"
#include "platform/posix/c_library_lock_posix.h"

namespace zep::platform {

Mutex& CLibraryLock() {
  static Mutex* lock = new Mutex;
  return *lock;
}

namespace {
// Made while the library loads, before any thread can call in.
[[maybe_unused]] Mutex& madeAtLoad = CLibraryLock();
}  // namespace

uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

uint64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

int64_t WallClockNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + static_cast<int64_t>(now.tv_nsec);
}

int64_t CurrentUnixSeconds() { return static_cast<int64_t>(time(nullptr)); }

LocalTime CurrentLocalTime() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  time_t seconds = now.tv_sec;
  {
    std::lock_guard<Mutex> guard(CLibraryLock());
    localtime_r(&seconds, &local);
  }
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(now.tv_usec / 1000)};
}

}  // namespace zep::platform
