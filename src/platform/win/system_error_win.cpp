#include <windows.h>

#include "platform/system_error.h"

namespace zep::platform {

uint32_t LastSystemError() { return GetLastError(); }

void SetLastSystemError(uint32_t code) { SetLastError(code); }

}  // namespace zep::platform
