#include "platform/win/owned_files_win.h"

#include <aclapi.h>
#include <winternl.h>

#include <vector>

#include "platform/win/win_resources.h"

namespace zep::platform {

namespace {

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

// The folder that holds the path's last name, and that name.
std::string FolderOf(const std::string& path, std::string& last) {
  std::string name = path;
  while (name.size() > 1 && (name.back() == '\\' || name.back() == '/')) name.pop_back();
  const size_t separator = name.find_last_of("\\/");
  last = separator == std::string::npos ? name : name.substr(separator + 1);
  return separator == std::string::npos ? std::string(".") : name.substr(0, separator + 1);
}

// Opens the name inside the folder that the handle holds: the path is not
// looked up again, so a folder turned into a junction since it was checked
// leads nowhere else.
HANDLE OpenInFolder(HANDLE folder, const std::string& name, DWORD access, DWORD share, DWORD disposition,
                    OwnedKind kind) {
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS && disposition != CREATE_NEW) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const int length = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (name.empty() || name.find_first_of("\\/") != std::string::npos || length <= 0 || length > 255) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), length);
  UNICODE_STRING text{static_cast<USHORT>(length * sizeof(wchar_t)), static_cast<USHORT>(length * sizeof(wchar_t)),
                      wide.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  const ULONG ntDisposition = disposition == OPEN_ALWAYS  ? FILE_OPEN_IF
                              : disposition == CREATE_NEW ? FILE_CREATE
                                                          : FILE_OPEN;
  const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                        (kind == OwnedKind::Folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
  IO_STATUS_BLOCK status{};
  HANDLE opened = nullptr;
  const NTSTATUS result =
      NtCreateFile(&opened, access | READ_CONTROL | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status, nullptr,
                   FILE_ATTRIBUTE_NORMAL, share, ntDisposition, options, nullptr, 0);
  if (!NT_SUCCESS(result)) {
    SetLastError(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

}  // namespace

HANDLE OpenOwned(const std::string& path, DWORD access, DWORD share, DWORD disposition, OwnedKind kind) {
  // Held without delete sharing, the folder cannot be renamed while the object
  // in it is opened, and the object is opened through it.
  std::string name;
  win::HandleCloser folder{CreateFileA(FolderOf(path, name).c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  if (folder.handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION folderInfo{};
  if (!GetFileInformationByHandle(folder.handle, &folderInfo) ||
      (folderInfo.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  win::HandleCloser opened{OpenInFolder(folder.handle, name, access, share, disposition, kind)};
  if (opened.handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(opened.handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != (kind == OwnedKind::Folder) ||
      (kind == OwnedKind::File && info.nNumberOfLinks != 1) || !OwnedBySelf(opened.handle)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return opened.Release();
}

}  // namespace zep::platform
