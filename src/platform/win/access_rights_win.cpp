// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <sddl.h>

#include <string>

#include "platform/access_rights.h"
#include "platform/process_user.h"
#include "platform/win/owned_files_win.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

namespace {

using win::LocalBlock;

// A shared folder, as the system's temporary folder: everyone lists,
// traverses, reads attributes and creates files and folders (0x1200af) in
// this folder only; the creator of each has full control of it (inherited,
// inherit-only); SYSTEM and the administrators have full control of all.
// Protected, so that nothing of the module's folder is inherited.
constexpr const char* kSharedFolderList = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;;0x1200af;;;WD)";
// The shared file: everyone reads and writes its data (0x12008f), nothing
// more: no deleting it, no changing its list or owner.
constexpr const char* kSharedFileList = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008f;;;WD)";

bool Descriptor(const std::string& text, LocalBlock& descriptor) {
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor.block,
                                                              nullptr) != 0;
}

// A user's own folder: SYSTEM, the administrators and the current user only.
bool PrivateFolderDescriptor(LocalBlock& descriptor) {
  const std::string user = GetProcessUserSID(GetCurrentProcessId());
  return !user.empty() && Descriptor("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + ")", descriptor);
}

// Sets the list through the handle: by path, a folder could become a
// junction between the check and the change.
bool SetList(HANDLE object, PSECURITY_DESCRIPTOR descriptor) {
  const bool set = SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor) != 0;
  CloseHandle(object);
  return set;
}

}  // namespace

int ShareWithEveryone(const char* path) {
  if (path == nullptr) return 0;
  // This user's own folder or file only, never one reached through a link.
  const char* list = kSharedFolderList;
  HANDLE object = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, OwnedKind::Folder);
  if (object == INVALID_HANDLE_VALUE) {
    list = kSharedFileList;
    object = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, OwnedKind::File);
  }
  if (object == INVALID_HANDLE_VALUE) return 0;
  LocalBlock descriptor;
  if (!Descriptor(list, descriptor)) {
    CloseHandle(object);
    return 0;
  }
  return SetList(object, descriptor.block) ? 1 : 0;
}

PrivateFolder MakePrivateFolder(const std::string& path) {
  LocalBlock descriptor;
  if (!PrivateFolderDescriptor(descriptor)) return PrivateFolder::kFailed;
  // Made with its list: no moment open to what the shared folder gives.
  HANDLE made = OpenOwned(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW, OwnedKind::Folder,
                          descriptor.block);
  if (made != INVALID_HANDLE_VALUE) {
    CloseHandle(made);
    return PrivateFolder::kMade;
  }
  if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return PrivateFolder::kFailed;
  // Already there: used only when it is this user's own plain folder.
  HANDLE existing = OpenOwned(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, OwnedKind::Folder);
  if (existing == INVALID_HANDLE_VALUE) return PrivateFolder::kTaken;
  return SetList(existing, descriptor.block) ? PrivateFolder::kMade : PrivateFolder::kFailed;
}

}  // namespace zep::platform
