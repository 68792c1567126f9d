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

// Whether the process's user administers this machine. POSIX: root, or an
// account in the group "sudo", "wheel" or the group named (none when empty).
// Windows: SYSTEM, or a member of Administrators, whether the process runs
// elevated or not (under UAC the group is in its token for denying only).
bool ProcessUserAdministers(uint32_t processId, const std::string& administratorsGroup);

}  // namespace zep::platform
