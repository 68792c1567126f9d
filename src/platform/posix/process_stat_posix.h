// The fields of /proc/<pid>/stat that the POSIX back end reads.
#pragma once

#include <cstdint>
#include <string>

namespace zep::platform {

// The start time in the text of /proc/<pid>/stat (clock ticks since boot);
// false when the text holds none.
bool ParseProcessStartTime(const std::string& text, uint64_t* startTime);

}  // namespace zep::platform
