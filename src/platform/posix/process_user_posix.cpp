#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/c_library_lock_posix.h"
#include "platform/posix/process_stat_posix.h"
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

bool ParseProcessStartTime(const std::string& text, uint64_t* startTime) {
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

bool ProcessStartTime(uint32_t processId, uint64_t* startTime) {
  if (processId == 0) return false;
  std::ifstream file("/proc/" + std::to_string(processId) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return ParseProcessStartTime(text, startTime);
}

bool ProcessUserAdministers(uint32_t processId, const std::string& administratorsGroup) {
  struct stat info {};
  if (processId == 0 || stat(("/proc/" + std::to_string(processId)).c_str(), &info) != 0) return false;
  if (info.st_uid == 0) return true;
  passwd entry{};
  passwd* account = nullptr;
  std::vector<char> buffer(16384);
  std::lock_guard<Mutex> guard(CLibraryLock());
  if (getpwuid_r(info.st_uid, &entry, buffer.data(), buffer.size(), &account) != 0 || account == nullptr) return false;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<size_t>(count));
  for (const std::string& name : {std::string("sudo"), std::string("wheel"), administratorsGroup}) {
    if (name.empty()) continue;
    group found{};
    group* administrators = nullptr;
    std::vector<char> groupBuffer(16384);
    if (getgrnam_r(name.c_str(), &found, groupBuffer.data(), groupBuffer.size(), &administrators) != 0 ||
        administrators == nullptr)
      continue;
    for (gid_t member : groups)
      if (member == administrators->gr_gid) return true;
  }
  return false;
}

}  // namespace zep::platform
