// Private-profile files on POSIX, with the Windows semantics of
// profile_document.h. Every access holds an flock on the file across
// processes: readers share it, a writer holds it alone, so no reader sees a
// half-written file. Anyone who can open a file can lock it, so a lock held
// by another is waited for a second at most; the access then fails.
//
// A write replaces the file by rename when the writer may do so without
// changing what others may do with it: the folder is writable and the writer
// owns the file (or is root, and gives the new file the old owner). The new
// contents are written to an unnamed file (O_TMPFILE) and reach the disk
// before they take the file's place, so a crash leaves the old file or the
// new one, and no half file and (but for a moment between two calls) no
// temporary name behind. Otherwise the file is rewritten in place under the
// lock, as far as the file's own permission allows. Either way the file keeps
// its owner and mode, and a file that nobody may write (read-only) is not
// written, as on Windows.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/posix/descriptor_posix.h"
#include "platform/profile_document.h"
#include "platform/profile.h"

namespace zep::platform {

namespace {

constexpr uint64_t kLockWaitNanoseconds = 1000 * 1000 * 1000;

// Takes the flock, waiting up to the deadline for whoever holds it.
int LockUntil(int fd, int operation, uint64_t deadline) {
  for (;;) {
    if (flock(fd, operation | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (MonotonicNanoseconds() >= deadline) {
      errno = EWOULDBLOCK;
      return -1;
    }
    const timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

// An flock on the INI file itself. A writer may replace the file by rename,
// so after the lock is taken the path must still name the locked file.
class ProfileFileLock {
 public:
  ProfileFileLock(const char* file, bool exclusive) {
    const uint64_t deadline = MonotonicNanoseconds() + kLockWaitNanoseconds;
    for (int attempt = 0; attempt < 100; ++attempt) {
      // A file a write creates is its owner's to write, whatever the umask
      // (the shared user_config.ini is made open to all when it is laid out).
      fd_ = open(file, (exclusive ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0644);
      if (fd_ < 0) {
        error_ = errno;
        return;
      }
      if (LockUntil(fd_, exclusive ? LOCK_EX : LOCK_SH, deadline) != 0) {
        error_ = errno;
        Release();
        return;
      }
      struct stat locked {
      }, current{};
      if (fstat(fd_, &locked) == 0 && stat(file, &current) == 0 && locked.st_ino == current.st_ino &&
          locked.st_dev == current.st_dev)
        return;
      Release();
    }
    error_ = EAGAIN;  // replaced under the reader at every attempt
  }
  ~ProfileFileLock() { Release(); }
  ProfileFileLock(const ProfileFileLock&) = delete;
  ProfileFileLock& operator=(const ProfileFileLock&) = delete;
  bool Held() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // Why the lock is not held.
  int Error() const { return error_; }

 private:
  void Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  int error_ = 0;
};

// The whole file, when it is not larger than the bound (EFBIG otherwise). The
// bound is kept while reading: a file may grow after any look at its size.
bool ReadAll(int fd, std::string& text) {
  text.clear();
  char buffer[8192];
  for (off_t offset = 0;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    text.append(buffer, static_cast<size_t>(got));
    offset += got;
    if (text.size() > kMaxProfileFileBytes) {
      text.clear();
      errno = EFBIG;
      return false;
    }
  }
}

bool WriteAllAt(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

std::string FolderOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// The new contents in an unnamed file of the folder, on disk, then put in the
// file's place.
bool ReplaceByRename(const std::string& file, const struct stat& original, const std::string& bytes) {
  const std::string folder = FolderOf(file);
  Descriptor fresh(open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (fresh.Get() < 0) return false;
  if (!WriteAllAt(fresh.Get(), bytes)) return false;
  if (geteuid() == 0 && (original.st_uid != 0 || original.st_gid != 0) &&
      fchown(fresh.Get(), original.st_uid, original.st_gid) != 0)
    return false;
  if (fchmod(fresh.Get(), original.st_mode & 07777) != 0 || fsync(fresh.Get()) != 0) return false;
  // Only writers that hold the file's exclusive lock use this name: one left
  // by a writer that was killed at this very step is stale and goes.
  const std::string staging = file + ".zep-new";
  unlink(staging.c_str());
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fresh.Get());
  if (linkat(AT_FDCWD, self, AT_FDCWD, staging.c_str(), AT_SYMLINK_FOLLOW) != 0) return false;
  if (rename(staging.c_str(), file.c_str()) != 0) {
    unlink(staging.c_str());
    return false;
  }
  Descriptor directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() >= 0) fsync(directory.Get());
  return true;
}

bool RewriteInPlace(int fd, const std::string& bytes) {
  return WriteAllAt(fd, bytes) && ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && fsync(fd) == 0;
}

uint32_t CopyOut(const std::string& value, char* out, uint32_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  uint32_t length = static_cast<uint32_t>(value.size());
  if (length > outSize - 1) length = outSize - 1;
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
  return length;
}

// The default as the profile reader gives it: less its trailing blanks.
std::string DefaultText(const char* defaultValue) {
  std::string text = defaultValue == nullptr ? std::string() : std::string(defaultValue);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file, ProfileRead* result) {
  ProfileRead ignored;
  ProfileRead& outcome = result != nullptr ? *result : ignored;
  outcome = ProfileRead::kRead;
  const std::string fallback = DefaultText(defaultValue);
  if (file == nullptr || section == nullptr || key == nullptr) return CopyOut(fallback, out, outSize);
  ProfileFileLock lock(file, false);
  std::string text;
  if (!lock.Held()) {
    // A missing file (or folder) reads as empty; any other failure is one.
    if (lock.Error() != ENOENT && lock.Error() != ENOTDIR) outcome = ProfileRead::kFailed;
    return CopyOut(fallback, out, outSize);
  }
  if (!ReadAll(lock.Fd(), text)) {
    outcome = errno == EFBIG ? ProfileRead::kTooLarge : ProfileRead::kFailed;
    return CopyOut(fallback, out, outSize);
  }
  const std::optional<std::string> value = ProfileDocument(text).Read(section, key);
  return CopyOut(value ? *value : fallback, out, outSize);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file) {
  if (file == nullptr || section == nullptr || key == nullptr) return false;
  ProfileFileLock lock(file, true);
  if (!lock.Held()) return false;
  struct stat original {};
  if (fstat(lock.Fd(), &original) != 0) return false;
  // A file that nobody may write is read-only, for root too.
  if ((original.st_mode & 0222) == 0) {
    errno = EACCES;
    return false;
  }
  std::string text;
  if (!ReadAll(lock.Fd(), text)) return false;
  ProfileDocument document(text);
  if (!document.Write(section, key, value != nullptr ? std::optional<std::string>(value) : std::nullopt))
    return true;  // nothing changes: the file stays as it is
  const std::string bytes = document.Text();
  const bool mayReplace = faccessat(AT_FDCWD, FolderOf(file).c_str(), W_OK | X_OK, AT_EACCESS) == 0 &&
                          (geteuid() == original.st_uid || geteuid() == 0);
  if (mayReplace && ReplaceByRename(file, original, bytes)) return true;
  return RewriteInPlace(lock.Fd(), bytes);
}

}  // namespace zep::platform
