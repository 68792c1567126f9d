// Reads of the settings files, kept until something in the module folder
// changes. Every read polls the folder's change notification first; the poll
// never waits, and finds an unchanged folder without a system call. The
// module's own writes drop what was kept at once.
#pragma once

#include <cstdint>
#include <string>

namespace zep {

// Starts watching the folder of the settings files.
void WatchSettingsFolder(const std::string& folder);

// A number that changes whenever the settings files may have changed.
uint64_t SettingsGeneration();

// After the module's own writes.
void SettingsWritten();

// As platform::ReadProfileValue; files of the watched folder are read only
// when they may have changed since the same read was last made.
// A file too large to be read is never kept as read.
uint32_t ReadProfileValueCached(const char* section, const char* key, const char* defaultValue, char* out,
                                uint32_t outSize, const std::string& file, bool* tooLarge);

}  // namespace zep
