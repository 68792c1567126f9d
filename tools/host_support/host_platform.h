// What zephost asks of the system, over the module's platform layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zep::host {

// The full path of the running program.
std::string ExecutablePath();
// The folder of a path, with its separator ("" for a bare name).
std::string FolderOf(const std::string& path);
// A path written with '/' in the system's own form.
std::string NativePath(std::string path);

// The user at the client's end of a connected TCP socket, as the system
// knows it: the uid the client's socket was made under (POSIX), or the user
// of the process that owns it (Windows); "unknown" when it cannot be had.
std::string ClientUserOf(uint32_t socket);

// Writes key=value in [section] of an INI file, as the system's profile
// functions do; false when it could not.
bool WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file);

// The named event a per-user copy ends on.
class StopEvent {
 public:
  explicit StopEvent(const std::string& name);
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;
  // True when the event was set within the time.
  bool WaitSet(uint32_t milliseconds);

 private:
  struct Listener;
  std::unique_ptr<Listener> listener_;
};

}  // namespace zep::host
