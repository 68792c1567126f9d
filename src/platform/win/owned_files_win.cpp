#include "platform/win/owned_files_win.h"

#include <aclapi.h>
#include <winternl.h>

#include <cstring>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/win/token_win.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

namespace {

constexpr ULONG kCompleteIfOplocked = 0x00000100;                                // FILE_COMPLETE_IF_OPLOCKED
constexpr NTSTATUS kOplockBreakInProgress = static_cast<NTSTATUS>(0x00000108L);  // STATUS_OPLOCK_BREAK_IN_PROGRESS

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
    const std::vector<unsigned char> user = win::TokenInformation(token, TokenUser);
    const std::vector<unsigned char> defaultOwner = win::TokenInformation(token, TokenOwner);
    CloseHandle(token);
    mine = (!user.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid)) ||
           (!defaultOwner.empty() && EqualSid(owner, reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner));
  }
  LocalFree(descriptor);
  return mine;
}

// Opens the name inside the folder that the handle holds: the path is not
// looked up again, so a folder turned into a junction since it was checked
// leads nowhere else.
HANDLE OpenInFolder(HANDLE folder, const std::string& name, DWORD access, DWORD share, DWORD disposition,
                    OwnedKind kind, PSECURITY_DESCRIPTOR descriptor = nullptr) {
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
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, descriptor);
  const ULONG ntDisposition = disposition == OPEN_ALWAYS  ? FILE_OPEN_IF
                              : disposition == CREATE_NEW ? FILE_CREATE
                                                          : FILE_OPEN;
  const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | kCompleteIfOplocked |
                        (kind == OwnedKind::Folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
  IO_STATUS_BLOCK status{};
  HANDLE opened = nullptr;
  const NTSTATUS result =
      NtCreateFile(&opened, access | READ_CONTROL | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status, nullptr,
                   FILE_ATTRIBUTE_NORMAL, share, ntDisposition, options, nullptr, 0);
  if (result == kOplockBreakInProgress) {
    CloseHandle(opened);
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (!NT_SUCCESS(result)) {
    SetLastError(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

// A folder to pass through: no link or junction.
bool PlainFolder(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(folder, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return true;
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

// The folder this code was loaded from, with its separator.
const std::string& ModuleFolder() {
  // Never destroyed: a file may be opened while the process exits.
  static const std::string* folder = [] {
    const std::string path = ModuleFilePath();
    const size_t separator = path.find_last_of('\\');
    return new std::string(separator == std::string::npos ? std::string() : path.substr(0, separator + 1));
  }();
  return *folder;
}

// The folder that holds the path's last name, open and checked, and that
// name. Below the module's folder each folder is opened from the one before
// it; elsewhere the holding folder is opened by its path.
HANDLE OpenHoldingFolder(const std::string& path, std::string& last) {
  std::string name = path;
  while (name.size() > 1 && (name.back() == '\\' || name.back() == '/')) name.pop_back();
  const std::string& module = ModuleFolder();
  const bool below =
      !module.empty() && name.size() > module.size() && _strnicmp(name.c_str(), module.c_str(), module.size()) == 0;
  const size_t separator = name.find_last_of("\\/");
  const std::string start = below                            ? module
                            : separator == std::string::npos ? std::string(".")
                                                             : name.substr(0, separator + 1);
  size_t next = below ? module.size() : separator == std::string::npos ? 0 : separator + 1;
  win::HandleCloser folder{CreateFileA(start.c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  if (folder.handle == INVALID_HANDLE_VALUE || !PlainFolder(folder.handle)) return INVALID_HANDLE_VALUE;
  for (size_t end; (end = name.find_first_of("\\/", next)) != std::string::npos; next = end + 1) {
    if (end == next) continue;  // a doubled separator
    win::HandleCloser inner{OpenInFolder(folder.handle, name.substr(next, end - next), FILE_TRAVERSE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, OwnedKind::Folder)};
    if (inner.handle == INVALID_HANDLE_VALUE || !PlainFolder(inner.handle)) return INVALID_HANDLE_VALUE;
    std::swap(folder.handle, inner.handle);
  }
  last = name.substr(next);
  return folder.Release();
}

}  // namespace

HANDLE OpenOwned(const std::string& path, DWORD access, DWORD share, DWORD disposition, OwnedKind kind,
                 PSECURITY_DESCRIPTOR descriptor) {
  // Held without delete sharing, the folder cannot be renamed while the object
  // in it is opened, and the object is opened through it.
  std::string name;
  win::HandleCloser folder{OpenHoldingFolder(path, name)};
  if (folder.handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  win::HandleCloser opened{OpenInFolder(folder.handle, name, access, share, disposition, kind, descriptor)};
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
