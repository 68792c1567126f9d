#include <windows.h>

#include "platform/unnamed_event.h"

namespace zep::platform {

EventHandle CreateUnnamedEvent(bool manualReset) {
  return CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}

bool SignalEvent(EventHandle event) { return ::SetEvent(event) != 0; }

bool ResetEvent(EventHandle event) { return ::ResetEvent(event) != 0; }

bool WaitForEvent(EventHandle event) { return WaitForSingleObjectEx(event, INFINITE, FALSE) == WAIT_OBJECT_0; }

void CloseEvent(EventHandle event) { CloseHandle(event); }

}  // namespace zep::platform
