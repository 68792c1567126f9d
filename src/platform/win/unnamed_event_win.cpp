#include <windows.h>

#include "platform/unnamed_event.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

struct UnnamedEvent {
  HANDLE handle;
};

EventHandle CreateUnnamedEvent(bool manualReset) {
  HANDLE handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  return win::AdoptHandle<UnnamedEvent>(handle);
}

bool SignalEvent(EventHandle event) { return event != nullptr && ::SetEvent(event->handle) != 0; }

bool ResetEvent(EventHandle event) { return event != nullptr && ::ResetEvent(event->handle) != 0; }

bool WaitForEvent(EventHandle event) {
  return event != nullptr && WaitForSingleObjectEx(event->handle, INFINITE, FALSE) == WAIT_OBJECT_0;
}

void CloseEvent(EventHandle event) {
  if (event == nullptr) return;
  CloseHandle(event->handle);
  delete event;
}

}  // namespace zep::platform
