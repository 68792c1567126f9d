#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/user_folders.h"

namespace zep::platform {

// The Windows profile layout under the user's home, so that LocalLow lies
// beside it as on Windows.
std::string RoamingAppDataFolder() {
  const char* home = getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* entry = getpwuid(getuid());
    if (entry == nullptr || entry->pw_dir == nullptr) return std::string();
    home = entry->pw_dir;
  }
  std::string folder(home);
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder + "/AppData/Roaming";
}

}  // namespace zep::platform
