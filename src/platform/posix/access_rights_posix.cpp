#include <sys/stat.h>

#include "platform/access_rights.h"

namespace zep::platform {

int GrantEveryoneFullAccess(const char* path) {
  struct stat info {};
  if (path == nullptr || stat(path, &info) != 0) return 0;
  mode_t mode = S_ISDIR(info.st_mode) ? 0777 : 0666;
  return chmod(path, mode) == 0 ? 1 : 0;
}

}  // namespace zep::platform
