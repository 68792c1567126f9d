// Reads of the settings files, kept until something in the module folder
// changes. A read outside a command polls the folder's change notification
// first (it never waits); a command polls it once, when it starts (see
// SettingsSnapshot). The module's own writes drop what was kept at once.
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

// For the length of one command on this thread, the folder is polled once,
// when the snapshot is taken: the command's reads and log lines see the files
// as they were then, with the command's own writes.
class SettingsSnapshot {
 public:
  SettingsSnapshot();
  ~SettingsSnapshot();
  SettingsSnapshot(const SettingsSnapshot&) = delete;
  SettingsSnapshot& operator=(const SettingsSnapshot&) = delete;

 private:
  uint64_t outer_;
};

// As platform::ReadProfileValue; files of the watched folder are read only
// when they may have changed since the same read was last made.
uint32_t ReadProfileValueCached(const char* section, const char* key, const char* defaultValue, char* out,
                                uint32_t outSize, const std::string& file);

}  // namespace zep
