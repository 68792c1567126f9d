#include <windows.h>

#include "platform/named_event.h"

namespace zep::platform {

NamedEventListener::NamedEventListener(const std::string& name) : objectName_(name) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  native_ = reinterpret_cast<intptr_t>(event);
}

NamedEventListener::~NamedEventListener() {
  if (native_ != 0) CloseHandle(reinterpret_cast<HANDLE>(native_));
}

bool NamedEventListener::WaitSet(uint32_t milliseconds) {
  return native_ != 0 && WaitForSingleObject(reinterpret_cast<HANDLE>(native_), milliseconds) == WAIT_OBJECT_0;
}

void RemoveNamedEvent(const std::string& /*name*/) {}

bool SetNamedEvent(const std::string& name) {
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  if (event == nullptr) return false;
  SetEvent(event);
  CloseHandle(event);
  return true;
}

}  // namespace zep::platform
