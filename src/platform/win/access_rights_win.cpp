// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <aclapi.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "platform/access_rights.h"
#include "platform/win/owned_files_win.h"

namespace zep::platform {

namespace {

struct LocalBlock {
  HLOCAL block = nullptr;
  ~LocalBlock() {
    if (block != nullptr) LocalFree(block);
  }
};

// Sets the list on what was opened, never through a link or junction, and
// only on this user's own file or folder.
int SetListOfOwned(const char* path, PACL list) {
  if (path == nullptr) return 0;
  HANDLE object = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                            OwnedKind::Folder);
  if (object == INVALID_HANDLE_VALUE)
    object = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                       OwnedKind::File);
  if (object == INVALID_HANDLE_VALUE) return 0;
  const DWORD status =
      SetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, list, nullptr);
  CloseHandle(object);
  return status == ERROR_SUCCESS ? 1 : 0;
}

std::string CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
  DWORD length = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &length);
  std::vector<unsigned char> user(length == 0 ? 1 : length);
  char* text = nullptr;
  const bool known = GetTokenInformation(token, TokenUser, user.data(), length, &length) &&
                     ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text);
  CloseHandle(token);
  if (!known) return std::string();
  std::string sid = text;
  LocalFree(text);
  return sid;
}

}  // namespace

int GrantEveryoneFullAccess(const char* path) {
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) return 0;

  EXPLICIT_ACCESSA access{};
  access.grfAccessPermissions = 0x1FFFFF;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPSTR>(everyone);

  LocalBlock list;
  PACL newList = nullptr;
  const bool built = SetEntriesInAclA(1, &access, nullptr, &newList) == ERROR_SUCCESS;
  FreeSid(everyone);
  if (!built) return 0;
  list.block = newList;
  return SetListOfOwned(path, newList);
}

int GrantUserFullAccess(const char* path) {
  const std::string user = CurrentUserSid();
  if (user.empty()) return 0;
  // Protected, so that the shared folder's Everyone entry is not inherited.
  const std::string text = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + ")";
  LocalBlock descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor.block, nullptr))
    return 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.block, &present, &list, &defaulted) || !present) return 0;
  if (path == nullptr) return 0;
  HANDLE object = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                            OwnedKind::Folder);
  if (object == INVALID_HANDLE_VALUE) return 0;
  // PROTECTED_DACL: the folder no longer takes entries from its parent.
  const DWORD status =
      SetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, list, nullptr);
  CloseHandle(object);
  return status == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace zep::platform
