// What zephost asks of the system, over the module's platform layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zep::host {

// The full path of the running program.
std::string ExecutablePath();
// The folder of a path, with its separator ("" for a bare name).
std::string FolderOf(const std::string& path);
// A path written with '/' in the system's own form.
std::string NativePath(std::string path);

// The users at the client's ends of connected TCP sockets, as the system
// knows them: the uid each client's socket was made under (POSIX), or the
// user of the process that owns it (Windows, where the machine's whole TCP
// table is read once for all of them); "unknown" where it cannot be had.
std::vector<std::string> ClientUsersOf(const std::vector<uint32_t>& sockets);

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
