#include "platform/posix/owned_files_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/descriptor_posix.h"

namespace zep::platform {

namespace {

int Refuse(int code) {
  errno = code;
  return -1;
}

}  // namespace

int OpenOwned(const std::string& path, int flags, mode_t mode, OwnedKind kind) {
  // A trailing slash would make the system follow a link at the last component.
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const size_t slash = name.rfind('/');
  const std::string folderPath = slash == std::string::npos ? "." : (slash == 0 ? "/" : name.substr(0, slash));
  const std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") return Refuse(EINVAL);

  Descriptor folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.Get() < 0) return -1;
  struct stat folderInfo {};
  if (fstat(folder.Get(), &folderInfo) != 0) return -1;
  const uid_t self = geteuid();
  if (folderInfo.st_uid != self && folderInfo.st_uid != 0) return Refuse(EPERM);

  const int extra = kind == OwnedKind::Folder ? O_DIRECTORY : 0;
  Descriptor opened(openat(folder.Get(), leaf.c_str(), flags | extra | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  if (opened.Get() < 0) return -1;
  struct stat info {};
  if (fstat(opened.Get(), &info) != 0) return -1;
  const bool kindMatches = kind == OwnedKind::Folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
  if (!kindMatches) return Refuse(EINVAL);
  if (kind == OwnedKind::File && info.st_nlink != 1) return Refuse(EMLINK);
  if (info.st_uid != self && info.st_uid != folderInfo.st_uid) return Refuse(EPERM);
  // Regular files and folders do not block; later reads and writes need not be told.
  fcntl(opened.Get(), F_SETFL, fcntl(opened.Get(), F_GETFL) & ~O_NONBLOCK);
  return opened.Release();
}

}  // namespace zep::platform
