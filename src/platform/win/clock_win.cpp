#include <windows.h>

#include "platform/clock.h"

namespace zep::platform {

uint32_t TickCount() { return GetTickCount(); }

uint64_t MonotonicNanoseconds() {
  // The counter's frequency is fixed at boot: ask for it once.
  static const uint64_t frequency = [] {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    return static_cast<uint64_t>(value.QuadPart);
  }();
  LARGE_INTEGER count{};
  QueryPerformanceCounter(&count);
  const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
  return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

int64_t WallClockNanoseconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  return static_cast<int64_t>(ticks - kUnixEpoch) * 100;
}

int64_t CurrentUnixSeconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns units since 1601
  return static_cast<int64_t>((ticks - kUnixEpoch) / 10000000u);
}

LocalTime CurrentLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace zep::platform
