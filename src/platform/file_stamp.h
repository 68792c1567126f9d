// What tells, without reading a file, whether it may have changed: which file
// a path names now, its size and its time stamps.
#pragma once

#include <cstdint>

namespace zep::platform {

struct FileStamp {
  bool exists = false;
  // The file the path names (device and file number); 0 where the system
  // does not give them without opening the file.
  uint64_t device = 0;
  uint64_t index = 0;
  uint64_t size = 0;
  // Nanoseconds since 1970-01-01 UTC: the last write, and the last change of
  // the file's record (its creation where the system keeps no change time).
  int64_t modified = 0;
  int64_t changed = 0;

  bool operator==(const FileStamp& other) const {
    return exists == other.exists && device == other.device && index == other.index && size == other.size &&
           modified == other.modified && changed == other.changed;
  }
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// The stamp of the file the path names, links followed. A missing file has a
// stamp too (exists false). False when the system could not tell.
bool ReadFileStamp(const char* path, FileStamp* stamp);

}  // namespace zep::platform
