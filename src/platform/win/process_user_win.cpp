// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <sddl.h>

#include "platform/process_user.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

using win::HandleCloser;

std::string GetProcessUserSID(uint32_t processId) {
  std::string result;
  HandleCloser process;
  process.handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (process.handle == nullptr) return result;
  HandleCloser token;
  if (!OpenProcessToken(process.handle, TOKEN_QUERY, &token.handle)) {
    token.handle = nullptr;
    return result;
  }
  DWORD length = 0;
  if (GetTokenInformation(token.handle, TokenUser, nullptr, 0, &length) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return result;
  HANDLE heap = GetProcessHeap();
  void* buffer = HeapAlloc(heap, HEAP_ZERO_MEMORY, length);
  if (buffer == nullptr) return result;
  if (GetTokenInformation(token.handle, TokenUser, buffer, length, &length)) {
    char* text = nullptr;
    if (ConvertSidToStringSidA(static_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
      result = text;
      LocalFree(text);
    }
  }
  HeapFree(heap, 0, buffer);
  return result;
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

}  // namespace zep::platform
