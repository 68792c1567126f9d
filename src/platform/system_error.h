// The calling thread's last system error code.
#pragma once

#include <cstdint>

namespace zep::platform {

uint32_t LastSystemError();
void SetLastSystemError(uint32_t code);

}  // namespace zep::platform
