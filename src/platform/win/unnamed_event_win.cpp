#include <windows.h>

#include "platform/unnamed_event.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

struct UnnamedEvent::Native {
  HANDLE handle;
};

void UnnamedEvent::Deleter::operator()(Native* native) const {
  CloseHandle(native->handle);
  delete native;
}

bool UnnamedEvent::Create(bool manualReset) {
  native_.reset();
  HANDLE handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  if (handle == nullptr) return false;
  native_.reset(win::AdoptHandle<Native>(handle));
  return native_ != nullptr;
}

bool UnnamedEvent::Signal() { return native_ != nullptr && ::SetEvent(native_->handle) != 0; }

bool UnnamedEvent::Reset() { return native_ != nullptr && ::ResetEvent(native_->handle) != 0; }

bool UnnamedEvent::Wait() {
  return native_ != nullptr && WaitForSingleObjectEx(native_->handle, INFINITE, FALSE) == WAIT_OBJECT_0;
}

}  // namespace zep::platform
