#include <windows.h>

#include "platform/thread_identity.h"

namespace zep::platform {

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

uintptr_t CurrentThreadToken() { return GetCurrentThreadId(); }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

}  // namespace zep::platform
