#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/process_user.h"

namespace zep::platform {

// Unix users map to the SIDs S-1-22-1-<uid>, as Samba and Windows name them.
std::string GetProcessUserSID(uint32_t processId) {
  if (processId == 0) return std::string();
  struct stat info {};
  std::string proc = "/proc/" + std::to_string(processId);
  if (stat(proc.c_str(), &info) != 0) return std::string();
  return "S-1-22-1-" + std::to_string(info.st_uid);
}

bool ProcessStartTime(uint32_t processId, uint64_t* startTime) {
  if (processId == 0) return false;
  std::ifstream file("/proc/" + std::to_string(processId) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The name in parentheses may hold blanks and parentheses: the fields
  // follow the last ')'. The start time is field 22, the 20th after it.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  unsigned long long value = 0;
  if (std::sscanf(text.c_str() + close + 1,
                  " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu", &value) != 1)
    return false;
  *startTime = value;
  return true;
}

}  // namespace zep::platform
