// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <sddl.h>

#include <vector>

#include "platform/process_user.h"
#include "platform/win/token_win.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

using win::HandleCloser;
using win::TokenInformation;

std::string GetProcessUserSID(uint32_t processId) {
  HandleCloser process;
  process.handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (process.handle == nullptr) return std::string();
  HandleCloser token;
  if (!OpenProcessToken(process.handle, TOKEN_QUERY, &token.handle)) {
    token.handle = nullptr;
    return std::string();
  }
  return win::TokenUserText(token.handle);
}

bool ProcessStartTime(uint32_t processId, uint64_t* startTime) {
  HandleCloser process;
  process.handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process.handle == nullptr) return false;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process.handle, &created, &exited, &kernel, &user)) return false;
  *startTime = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

bool ProcessUserAdministers(uint32_t processId, const std::string& /*administratorsGroup*/) {
  HandleCloser process;
  process.handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process.handle == nullptr) return false;
  HandleCloser token;
  if (!OpenProcessToken(process.handle, TOKEN_QUERY, &token.handle)) {
    token.handle = nullptr;
    return false;
  }
  const std::vector<unsigned char> user = TokenInformation(token.handle, TokenUser);
  if (!user.empty() && IsWellKnownSid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, WinLocalSystemSid))
    return true;
  const std::vector<unsigned char> groups = TokenInformation(token.handle, TokenGroups);
  if (groups.empty()) return false;
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    // Under UAC an administrator's everyday token holds the group for
    // denying only; the user administers all the same.
    if (IsWellKnownSid(list->Groups[i].Sid, WinBuiltinAdministratorsSid) &&
        (list->Groups[i].Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)) != 0)
      return true;
  }
  return false;
}

}  // namespace zep::platform
