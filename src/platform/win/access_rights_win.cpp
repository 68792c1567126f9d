// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <aclapi.h>

#include "platform/access_rights.h"

namespace zep::platform {

namespace {
struct SidDeleter {
  PSID sid = nullptr;
  ~SidDeleter() {
    if (sid != nullptr) FreeSid(sid);
  }
};
struct LocalDeleter {
  HLOCAL block = nullptr;
  ~LocalDeleter() {
    if (block != nullptr) LocalFree(block);
  }
};
}  // namespace

int GrantEveryoneFullAccess(const char* path) {
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  SidDeleter everyone;
  if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone.sid)) return 0;

  EXPLICIT_ACCESSA access{};
  access.grfAccessPermissions = 0x1FFFFF;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPSTR>(everyone.sid);

  LocalDeleter acl;
  PACL newAcl = nullptr;
  if (SetEntriesInAclA(1, &access, nullptr, &newAcl) != ERROR_SUCCESS) return 0;
  acl.block = newAcl;

  LocalDeleter descriptor;
  descriptor.block = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor.block == nullptr) return 0;
  auto* securityDescriptor = static_cast<PSECURITY_DESCRIPTOR>(descriptor.block);
  if (!InitializeSecurityDescriptor(securityDescriptor, SECURITY_DESCRIPTOR_REVISION)) return 0;
  if (!SetSecurityDescriptorDacl(securityDescriptor, TRUE, newAcl, FALSE)) return 0;
  return SetFileSecurityA(path, DACL_SECURITY_INFORMATION, securityDescriptor);
}

}  // namespace zep::platform
