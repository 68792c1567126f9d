#include <windows.h>

#include "platform/file_stamp.h"

namespace zep::platform {

namespace {

int64_t Nanoseconds(const FILETIME& time) {
  constexpr int64_t kUnixEpoch = 116444736000000000;  // 1970-01-01 in 100 ns units since 1601
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kUnixEpoch) * 100;
}

}  // namespace

// The attributes by path, without opening the file: its number is not read
// (that takes a handle), but a file put in its place has its own creation time.
bool ReadFileStamp(const char* path, FileStamp* stamp) {
  *stamp = FileStamp{};
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  stamp->exists = true;
  stamp->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp->modified = Nanoseconds(data.ftLastWriteTime);
  stamp->changed = Nanoseconds(data.ftCreationTime);
  return true;
}

}  // namespace zep::platform
