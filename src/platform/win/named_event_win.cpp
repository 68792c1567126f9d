#include <windows.h>

#include "platform/named_event.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

struct NamedEventListener::Native {
  HANDLE event;
};

NamedEventListener::NamedEventListener(const std::string& name) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  if (event == nullptr) return;
  native_ = win::AdoptHandle<Native>(event);
}

NamedEventListener::~NamedEventListener() {
  if (native_ == nullptr) return;
  CloseHandle(native_->event);
  delete native_;
}

bool NamedEventListener::WaitSet(uint32_t milliseconds) {
  return native_ != nullptr && WaitForSingleObject(native_->event, milliseconds) == WAIT_OBJECT_0;
}

bool SetNamedEvent(const std::string& name, const ProcessHandle& /*copy*/) {
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  if (event == nullptr) return false;
  SetEvent(event);
  CloseHandle(event);
  return true;
}

}  // namespace zep::platform
