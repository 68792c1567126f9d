// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <sddl.h>

#include <vector>

#include "platform/process_user.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

using win::HandleCloser;

namespace {

// The token's information of one class; empty when it cannot be had.
std::vector<unsigned char> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD length = 0;
  GetTokenInformation(token, kind, nullptr, 0, &length);
  std::vector<unsigned char> information(length);
  if (length == 0 || !GetTokenInformation(token, kind, information.data(), length, &length)) information.clear();
  return information;
}

}  // namespace

std::string GetProcessUserSID(uint32_t processId) {
  HandleCloser process;
  process.handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (process.handle == nullptr) return std::string();
  HandleCloser token;
  if (!OpenProcessToken(process.handle, TOKEN_QUERY, &token.handle)) {
    token.handle = nullptr;
    return std::string();
  }
  const std::vector<unsigned char> user = TokenInformation(token.handle, TokenUser);
  char* text = nullptr;
  if (user.empty() || !ConvertSidToStringSidA(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &text))
    return std::string();
  std::string sid = text;
  LocalFree(text);
  return sid;
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
