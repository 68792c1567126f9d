// The user behind a process.
#pragma once

#include <cstdint>
#include <string>

namespace zep::platform {

// String form of the SID of the user who owns the process; empty when it
// cannot be had.
std::string ProcessUserSid(uint32_t processId);

}  // namespace zep::platform
