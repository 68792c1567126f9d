// Private-profile files on POSIX, with the Windows semantics of
// profile_document.h.
//
// Readers take no lock: anyone who may open a file may lock it, and a read
// must never wait on another user. A write replaces the file by rename where
// the writer may (the folder is writable and the writer owns the file, or is
// root and gives the new file the old owner): the new contents go to an
// unnamed file (O_TMPFILE), reach the disk, and take the file's place, so a
// reader sees the old file or the new one, and a crash leaves one of them.
// Otherwise the file is rewritten in place, as far as its own permission
// allows. Either way it keeps its owner and mode, and a file that nobody may
// write (read-only) is not written, as on Windows.
//
// Writers serialise on a lock. A file that others may write (user_config.ini)
// is locked itself: anyone could hold that lock, so it is waited for briefly,
// and not at all again for a while once a wait has run out. Any other file is
// locked through a lock file beside it that only the writer's own account may
// open, where nobody else can hold up the service's writes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/posix/descriptor_posix.h"
#include "platform/profile.h"
#include "platform/profile_document.h"

namespace zep::platform {

namespace {

// How long a lock is waited for: one that only the writer's own account can
// hold, and one that anyone who may open the file can.
constexpr uint64_t kOwnLockWaitNanoseconds = 1000 * 1000 * 1000;
constexpr uint64_t kSharedLockWaitNanoseconds = 200 * 1000 * 1000;
// After a wait for a shared lock ran out, shared locks are tried without
// waiting for this long: a writer of several keys waits once, not per key.
constexpr uint64_t kSharedLockRestNanoseconds = 1000 * 1000 * 1000;
std::atomic<uint64_t> sharedLocksRestUntil{0};

// Descriptors that hold a writer's lock, each as its number + 1 (0: free).
// A child forked meanwhile shares them with the parent and would hold the
// lock for as long as it lives, though the thread that would let go is not
// in it: the child closes them.
constexpr int kLockSlots = 64;
std::atomic<int> lockSlots[kLockSlots];

void TrackLock(int fd) {
  for (std::atomic<int>& slot : lockSlots) {
    int free = 0;
    if (slot.compare_exchange_strong(free, fd + 1)) return;
  }
}

// Lets go of the lock before the descriptor leaves its slot, and closes it.
void CloseLocked(int fd) {
  flock(fd, LOCK_UN);
  for (std::atomic<int>& slot : lockSlots) {
    int held = fd + 1;
    if (slot.compare_exchange_strong(held, 0)) break;
  }
  close(fd);
}

void CloseLocksInChild() {
  for (std::atomic<int>& slot : lockSlots) {
    const int held = slot.exchange(0);
    if (held != 0) close(held - 1);
  }
}

[[maybe_unused]] const bool forkHandlers = (RegisterForkHandlers({nullptr, nullptr, &CloseLocksInChild}), true);

// Takes the flock, waiting up to the deadline for whoever holds it.
int LockUntil(int fd, uint64_t deadline) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (MonotonicNanoseconds() >= deadline) {
      errno = EWOULDBLOCK;
      return -1;
    }
    const timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

std::string FolderOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// The lock file of a settings file: ".<name>.lock" beside it, this
// account's own plain file; -1 when there is none to be had.
int OpenOwnLockFile(const std::string& file) {
  const size_t slash = file.rfind('/');
  const std::string lockPath = (slash == std::string::npos ? std::string() : file.substr(0, slash + 1)) + "." +
                               file.substr(slash == std::string::npos ? 0 : slash + 1) + ".lock";
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1 ||
      (info.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A settings file opened for writing, with the lock that serialises its
// writers held. A writer may replace the file by rename, so once the file's
// own lock is taken the path must still name the locked file.
class ProfileWriteLock {
 public:
  explicit ProfileWriteLock(const char* file) {
    struct stat current {};
    const bool shared = stat(file, &current) == 0 && (current.st_mode & S_IWOTH) != 0;
    if (!shared) {
      lock_ = OpenOwnLockFile(file);
      if (lock_ >= 0) TrackLock(lock_);
      if (lock_ >= 0 && LockUntil(lock_, MonotonicNanoseconds() + kOwnLockWaitNanoseconds) != 0) return;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
      // A file a write creates is its owner's to write, whatever the umask
      // (the shared user_config.ini is made open to all when it is laid out).
      fd_ = open(file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
      if (fd_ < 0) return;
      fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
      if (lock_ >= 0) return;  // the own lock serialises the writers
      locksFile_ = true;
      TrackLock(fd_);
      if (LockShared() != 0) {
        Release();
        return;
      }
      struct stat locked {};
      if (fstat(fd_, &locked) == 0 && stat(file, &current) == 0 && locked.st_ino == current.st_ino &&
          locked.st_dev == current.st_dev)
        return;
      Release();
    }
    errno = EAGAIN;  // replaced under the writer at every attempt
  }
  ~ProfileWriteLock() {
    Release();
    if (lock_ >= 0) CloseLocked(lock_);
  }
  ProfileWriteLock(const ProfileWriteLock&) = delete;
  ProfileWriteLock& operator=(const ProfileWriteLock&) = delete;
  bool Held() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

 private:
  int LockShared() {
    const uint64_t now = MonotonicNanoseconds();
    const bool resting = now < sharedLocksRestUntil.load(std::memory_order_relaxed);
    if (LockUntil(fd_, resting ? now : now + kSharedLockWaitNanoseconds) == 0) return 0;
    if (!resting && errno == EWOULDBLOCK)
      sharedLocksRestUntil.store(MonotonicNanoseconds() + kSharedLockRestNanoseconds, std::memory_order_relaxed);
    return -1;
  }
  void Release() {
    const int code = errno;
    if (fd_ >= 0 && locksFile_)
      CloseLocked(fd_);
    else if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
    locksFile_ = false;
    errno = code;
  }
  int fd_ = -1;
  int lock_ = -1;
  bool locksFile_ = false;
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

}  // namespace

uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file, ProfileRead* result) {
  ProfileRead ignored;
  ProfileRead& outcome = result != nullptr ? *result : ignored;
  outcome = ProfileRead::kRead;
  const std::string fallback = DefaultText(defaultValue);
  if (file == nullptr || section == nullptr || key == nullptr) return CopyOut(fallback, out, outSize);
  // Not blocking on a FIFO planted under the name.
  const Descriptor opened(open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::string text;
  if (opened.Get() < 0) {
    // A missing file (or folder) reads as empty; any other failure is one.
    if (errno != ENOENT && errno != ENOTDIR) outcome = ProfileRead::kFailed;
    return CopyOut(fallback, out, outSize);
  }
  struct stat info {};
  if (fstat(opened.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    outcome = ProfileRead::kFailed;
    return CopyOut(fallback, out, outSize);
  }
  if (!ReadAll(opened.Get(), text)) {
    outcome = errno == EFBIG ? ProfileRead::kTooLarge : ProfileRead::kFailed;
    return CopyOut(fallback, out, outSize);
  }
  const std::optional<std::string> value = ProfileDocument(text).Read(section, key);
  return CopyOut(value ? *value : fallback, out, outSize);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file) {
  if (file == nullptr || section == nullptr || key == nullptr) return false;
  ProfileWriteLock lock(file);
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
