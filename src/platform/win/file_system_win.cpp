// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/process_user.h"
#include "platform/win/owned_files_win.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

namespace {
void ModuleAnchor() {}

const wchar_t* Wide(const std::u16string& path) { return reinterpret_cast<const wchar_t*>(path.c_str()); }
}  // namespace

std::string ModuleFilePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&ModuleAnchor), &module))
    return std::string();
  char name[MAX_PATH] = {0};
  DWORD length = GetModuleFileNameA(module, name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  char longName[MAX_PATH] = {0};
  DWORD longLength = GetLongPathNameA(name, longName, MAX_PATH);
  if (longLength == 0 || longLength >= MAX_PATH) return std::string(name);
  return std::string(longName);
}

bool CreateDirectoryNarrow(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool PathExistsWide(const std::u16string& path) { return GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES; }

bool CreateDirectoryWide(const std::u16string& path) { return CreateDirectoryW(Wide(path), nullptr) != 0; }

namespace {

// Opened for appending with full sharing, created when missing (it inherits
// the folder's access list); an existing one only when it is this user's own
// plain file.
HANDLE OpenSharedForAppend(const std::string& path) {
  return OpenOwned(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS,
                   OwnedKind::File);
}

}  // namespace

// Who may write a file created here is the folder's to say: its list is
// inherited.
bool ProbeSharedFile(const std::string& path, FileWriters /*writers*/) {
  HANDLE file = OpenSharedForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool AppendToSharedFile(const std::string& path, const std::string& bytes, FileWriters /*writers*/,
                        uint64_t startOverAt, const std::function<std::string()>& note) {
  const win::HandleCloser file(OpenSharedForAppend(path));
  if (file.handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  const bool full =
      startOverAt != 0 && GetFileSizeEx(file.handle, &size) && static_cast<uint64_t>(size.QuadPart) >= startOverAt;
  // Made before the file is emptied: a note that cannot be made leaves it as it was.
  const std::string text = full && note ? note() + bytes : std::string();
  bool startOver = false;
  if (full) {
    // Emptied through a second handle, which may write anywhere; the lines
    // still go through the one with append access only.
    const win::HandleCloser whole(OpenOwned(
        path, FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, OwnedKind::File));
    FILE_END_OF_FILE_INFO end{};
    startOver = whole.handle != INVALID_HANDLE_VALUE &&
                SetFileInformationByHandle(whole.handle, FileEndOfFileInfo, &end, sizeof end) != 0;
  }
  const std::string& out = startOver && !text.empty() ? text : bytes;
  // With append access only, the one write lands whole at the end, whoever else appends.
  DWORD written = 0;
  const BOOL ok = WriteFile(file.handle, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  return ok && written == out.size();
}

namespace {

// A discretionary list for SYSTEM, the Administrators and the current user
// only, not inherited from the folder.
bool PrivateDescriptor(PSECURITY_DESCRIPTOR* descriptor) {
  const std::string user = GetProcessUserSID(GetCurrentProcessId());
  if (user.empty()) return false;
  const std::string text = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + user + ")";
  return ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, descriptor, nullptr) != 0;
}

}  // namespace

bool WriteNewPrivateFile(const std::string& path, const std::string& bytes) {
  // A file planted there is removed, read-only or not; CREATE_NEW then fails
  // if anything takes its place before the file is created.
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!PrivateDescriptor(&descriptor)) return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  CloseHandle(file);
  if (!ok) DeleteFileA(path.c_str());
  return ok;
}

uint32_t TempPath(char* buffer, uint32_t bufferSize) {
  // GetTempPath2A (Windows 11, Server 2022 and later; not in Wine 8) gives a
  // process running as SYSTEM the folder only SYSTEM may use, and any other
  // process what GetTempPathA gives it.
  using TempPath2 = DWORD(WINAPI*)(DWORD, LPSTR);
  static const TempPath2 systemOnly = reinterpret_cast<TempPath2>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTempPath2A")));
  return systemOnly != nullptr ? systemOnly(bufferSize, buffer) : GetTempPathA(bufferSize, buffer);
}

}  // namespace zep::platform
