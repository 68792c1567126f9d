// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <share.h>

#include <cstdio>
#include <cstring>

#include "platform/file_system.h"

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

bool GetFileAttributesNarrow(const char* path, uint32_t* attributes) {
  DWORD value = GetFileAttributesA(path);
  if (value == INVALID_FILE_ATTRIBUTES) return false;
  *attributes = value;
  return true;
}

bool SetFileAttributesNarrow(const char* path, uint32_t attributes) {
  return SetFileAttributesA(path, attributes) != 0;
}

bool DeleteFileNarrow(const char* path) { return DeleteFileA(path) != 0; }

bool PathExistsWide(const std::u16string& path) { return GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES; }

bool CreateDirectoryWide(const std::u16string& path) { return CreateDirectoryW(Wide(path), nullptr) != 0; }

bool FileHandle::WriteAll(const void* data, uint32_t length) {
  if (!Valid()) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(reinterpret_cast<HANDLE>(native_), data, length, &written, nullptr);
  return ok && written == length;
}

void FileHandle::Close() {
  if (Valid()) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = kInvalid;
}

FileHandle OpenFileForWriteWide(const std::u16string& path, Disposition disposition) {
  HANDLE handle = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              static_cast<DWORD>(disposition), FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FileHandle();
  return FileHandle(reinterpret_cast<intptr_t>(handle));
}

bool ProbeSharedFile(const std::string& path) {
  std::FILE* file = _fsopen(path.c_str(), "a+", _SH_DENYNO);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool CreateSharedFileIfMissing(const std::string& path) {
  // "a+" creates a missing file and changes nothing in an existing one.
  std::FILE* file = _fsopen(path.c_str(), "a+", _SH_DENYNO);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool AppendToSharedFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = _fsopen(path.c_str(), "a+b", _SH_DENYNO);
  if (file == nullptr) return false;
  // A buffer that holds the whole line makes the C run-time issue one write.
  setvbuf(file, nullptr, _IOFBF, bytes.size() + 1);
  size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file);
  int closed = std::fclose(file);
  return written == bytes.size() && closed == 0;
}

uint32_t TempPath(char* buffer, uint32_t bufferSize) { return GetTempPathA(bufferSize, buffer); }

}  // namespace zep::platform
