// Which thread and process is running.
#pragma once

#include <cstdint>

namespace zep::platform {

// The system's number of the calling thread, as logs show it.
uint32_t CurrentThreadId();
// Tells the calling thread from every other live thread, without a system
// call and without anything kept per thread.
uintptr_t CurrentThreadToken();
uint32_t CurrentProcessId();

}  // namespace zep::platform
