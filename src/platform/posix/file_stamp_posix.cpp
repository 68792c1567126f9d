#include <sys/stat.h>

#include <cerrno>

#include "platform/file_stamp.h"

namespace zep::platform {

namespace {

int64_t Nanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + static_cast<int64_t>(time.tv_nsec);
}

}  // namespace

bool ReadFileStamp(const char* path, FileStamp* stamp) {
  *stamp = FileStamp{};
  struct stat info {};
  if (stat(path, &info) != 0) return errno == ENOENT || errno == ENOTDIR;
  stamp->exists = true;
  stamp->device = static_cast<uint64_t>(info.st_dev);
  stamp->index = static_cast<uint64_t>(info.st_ino);
  stamp->size = static_cast<uint64_t>(info.st_size);
  stamp->modified = Nanoseconds(info.st_mtim);
  stamp->changed = Nanoseconds(info.st_ctim);
  return true;
}

}  // namespace zep::platform
