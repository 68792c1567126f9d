// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <aclapi.h>

#include <sddl.h>

#include <string>

#include "platform/access_rights.h"
#include "platform/process_user.h"
#include "platform/win/owned_files_win.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

namespace {

using win::LocalBlock;

// Sets the descriptor's list on this user's own file or folder, never on one
// reached through a link or junction: the object is opened and checked, and
// the list is set through that handle (by path, a folder could become a
// junction between the check and the change).
int SetListOfOwned(const char* path, PSECURITY_DESCRIPTOR descriptor) {
  if (path == nullptr) return 0;
  HANDLE object = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, OwnedKind::Folder);
  if (object == INVALID_HANDLE_VALUE)
    object = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, OwnedKind::File);
  if (object == INVALID_HANDLE_VALUE) return 0;
  const int result = SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor);
  CloseHandle(object);
  return result;
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
  LocalBlock descriptor;
  descriptor.block = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor.block == nullptr || !InitializeSecurityDescriptor(descriptor.block, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(descriptor.block, TRUE, newList, FALSE))
    return 0;
  return SetListOfOwned(path, descriptor.block);
}

int GrantUserFullAccess(const char* path) {
  const std::string user = GetProcessUserSID(GetCurrentProcessId());
  if (user.empty()) return 0;
  // Protected (P), so that the shared folder's Everyone entry is not inherited.
  const std::string text = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + ")";
  LocalBlock descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor.block, nullptr))
    return 0;
  return SetListOfOwned(path, descriptor.block);
}

}  // namespace zep::platform
