// The user behind a process.
#pragma once

#include <cstdint>
#include <string>

namespace zep::platform {

// String form of the SID of the user who owns the process; empty when it
// cannot be had.
std::string GetProcessUserSID(uint32_t processId);

// When the process started, in the system's own units: together with its id
// it names one process, since an id may be taken again by a later one. False
// when the process is gone or cannot be asked.
bool ProcessStartTime(uint32_t processId, uint64_t* startTime);

}  // namespace zep::platform
