#include <windows.h>

#include "platform/clock.h"

namespace zep::platform {

uint32_t TickCount() { return GetTickCount(); }

LocalTime CurrentLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace zep::platform
