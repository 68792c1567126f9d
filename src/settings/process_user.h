// The user SID of a process.
#pragma once

#include <cstdint>
#include <string>

namespace zep {

// Standard string form of the SID of the process's user; empty when unknown.
std::string GetProcessUserSID(uint32_t processId);

}  // namespace zep
