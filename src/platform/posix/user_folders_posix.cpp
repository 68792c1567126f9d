#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/posix/c_library_lock_posix.h"
#include "platform/user_folders.h"

namespace zep::platform {

// The Windows profile layout under the user's home, so that LocalLow lies
// beside it as on Windows.
std::string RoamingAppDataFolder() {
  const char* home = getenv("HOME");
  std::string folder;
  if (home == nullptr || *home == '\0') {
    std::lock_guard<Mutex> guard(CLibraryLock());
    const passwd* entry = getpwuid(getuid());
    if (entry == nullptr || entry->pw_dir == nullptr) return std::string();
    folder = entry->pw_dir;
  } else {
    folder = home;
  }
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder + "/AppData/Roaming";
}

}  // namespace zep::platform
