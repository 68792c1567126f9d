#include <cerrno>

#include "platform/system_error.h"

namespace zep::platform {

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }

void SetLastSystemError(uint32_t code) { errno = static_cast<int>(code); }

}  // namespace zep::platform
