// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <sddl.h>

#include "platform/named_event.h"
#include "platform/process_user.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

struct CopyStopEvent::Native {
  HANDLE event;
};

bool CopyStopEvent::Create(const std::string& name, const std::string& userSid) {
  native_.reset();
  const std::string self = GetProcessUserSID(GetCurrentProcessId());
  if (self.empty() || userSid.empty()) {
    SetLastError(ERROR_INVALID_SID);
    return false;
  }
  // Everything for SYSTEM and the module's own user; waiting alone for the
  // copy's user, who could otherwise set or reset it.
  const std::string text = "D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;" + self + ")(A;;0x100000;;;" + userSid + ")";
  win::LocalBlock descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor.block, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.block, FALSE};
  SetLastError(ERROR_SUCCESS);
  HANDLE event = CreateEventA(&attributes, TRUE, FALSE, name.c_str());
  // A name that someone else took first (a mutex under it fails outright)
  // is theirs: the event they made could be set by them.
  if (event != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(event);
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  if (event == nullptr) return false;
  native_.reset(win::AdoptHandle<Native>(event));
  return native_ != nullptr;
}

bool CopyStopEvent::Set(const ProcessHandle& /*copy*/) { return native_ != nullptr && SetEvent(native_->event); }

void CopyStopEvent::Deleter::operator()(Native* native) const {
  CloseHandle(native->event);
  delete native;
}

struct NamedEventListener::Native {
  HANDLE event;
};

NamedEventListener::NamedEventListener(const std::string& name) {
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
  if (event == nullptr) return;
  native_.reset(win::AdoptHandle<Native>(event));
}

void NamedEventListener::Deleter::operator()(Native* native) const {
  CloseHandle(native->event);
  delete native;
}

bool NamedEventListener::WaitSet(uint32_t milliseconds) {
  if (native_ == nullptr) {
    Sleep(milliseconds);
    return false;
  }
  return WaitForSingleObject(native_->event, milliseconds) == WAIT_OBJECT_0;
}

}  // namespace zep::platform
