#include <sys/stat.h>

#include <string>

#include "platform/process_user.h"

namespace zep::platform {

// Unix users map to the SIDs S-1-22-1-<uid>, as Samba and Windows name them.
std::string ProcessUserSid(uint32_t processId) {
  if (processId == 0) return std::string();
  struct stat info {};
  std::string proc = "/proc/" + std::to_string(processId);
  if (stat(proc.c_str(), &info) != 0) return std::string();
  return "S-1-22-1-" + std::to_string(info.st_uid);
}

}  // namespace zep::platform
