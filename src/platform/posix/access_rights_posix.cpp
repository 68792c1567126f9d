#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/access_rights.h"
#include "platform/file_system.h"
#include "platform/posix/owned_files_posix.h"

namespace zep::platform {

namespace {

// The mode is set on what was opened, never through a link, and only on this
// user's own file or folder.
int SetModeOfOwned(const char* path, mode_t folderMode, mode_t fileMode) {
  if (path == nullptr) return 0;
  int fd = OpenOwned(path, O_RDONLY, 0, OwnedKind::Folder);
  mode_t mode = folderMode;
  if (fd < 0) {
    fd = OpenOwned(path, O_RDONLY, 0, OwnedKind::File);
    mode = fileMode;
  }
  if (fd < 0) return 0;
  struct stat info {};
  const bool ok = fstat(fd, &info) == 0 && info.st_uid == geteuid() && fchmod(fd, mode) == 0;
  close(fd);
  return ok ? 1 : 0;
}

}  // namespace

// Everyone may create in a shared folder (the sticky bit keeps them from
// removing or replacing what others made there).
int ShareWithEveryone(const char* path) { return SetModeOfOwned(path, 01777, 0666); }

PrivateFolder MakePrivateFolder(const std::string& path) {
  CreateDirectoryNarrow(path);
  return SetModeOfOwned(path.c_str(), 0700, 0600) != 0 ? PrivateFolder::kMade : PrivateFolder::kFailed;
}

}  // namespace zep::platform
