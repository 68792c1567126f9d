// Ending the host process and launching programs with elevation.
#pragma once

#include <string>

namespace zep::platform {

// Ends the current process at once with exit code 0: no destructors run.
[[noreturn]] void EndCurrentProcessNow();

// Starts the file (a full path) in the directory with elevation, hidden, without waiting.
// Only Windows runs it; elsewhere nothing is started.
void RunElevated(const std::string& file, const std::string& directory);

// The system's own program folder (System32 on Windows).
std::string SystemFolder();

}  // namespace zep::platform
