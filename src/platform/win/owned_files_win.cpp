#include "platform/win/owned_files_win.h"

#include <aclapi.h>

#include <vector>

namespace zep::platform {

namespace {

struct Handle {
  HANDLE value;
  ~Handle() {
    if (value != INVALID_HANDLE_VALUE && value != nullptr) CloseHandle(value);
  }
  HANDLE Release() {
    HANDLE released = value;
    value = INVALID_HANDLE_VALUE;
    return released;
  }
};

std::vector<unsigned char> TokenPart(HANDLE token, TOKEN_INFORMATION_CLASS part) {
  DWORD length = 0;
  GetTokenInformation(token, part, nullptr, 0, &length);
  std::vector<unsigned char> data(length);
  if (length == 0 || !GetTokenInformation(token, part, data.data(), length, &length)) data.clear();
  return data;
}

// The owner is this process's user or the owner it gives what it creates.
bool OwnedBySelf(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  bool mine = false;
  HANDLE token = nullptr;
  if (owner != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    const std::vector<unsigned char> user = TokenPart(token, TokenUser);
    const std::vector<unsigned char> defaultOwner = TokenPart(token, TokenOwner);
    CloseHandle(token);
    mine = (!user.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid)) ||
           (!defaultOwner.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner));
  }
  LocalFree(descriptor);
  return mine;
}

std::string FolderOf(const std::string& path) {
  std::string name = path;
  while (name.size() > 1 && (name.back() == '\\' || name.back() == '/')) name.pop_back();
  const size_t separator = name.find_last_of("\\/");
  return separator == std::string::npos ? std::string(".") : name.substr(0, separator + 1);
}

}  // namespace

HANDLE OpenOwned(const std::string& path, DWORD access, DWORD share, DWORD disposition, OwnedKind kind) {
  // Held without delete sharing, the folder cannot be renamed or replaced by a
  // junction while the object in it is opened.
  Handle folder{CreateFileA(FolderOf(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  if (folder.value == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION folderInfo{};
  if (!GetFileInformationByHandle(folder.value, &folderInfo) ||
      (folderInfo.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (kind == OwnedKind::Folder ? FILE_FLAG_BACKUP_SEMANTICS : 0) |
                      FILE_ATTRIBUTE_NORMAL;
  Handle opened{CreateFileA(path.c_str(), access | READ_CONTROL, share, nullptr, disposition, flags, nullptr)};
  if (opened.value == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(opened.value, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != (kind == OwnedKind::Folder) ||
      (kind == OwnedKind::File && info.nNumberOfLinks != 1) || !OwnedBySelf(opened.value)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return opened.Release();
}

}  // namespace zep::platform
