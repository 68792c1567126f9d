// Private-profile files on POSIX, kept with SimpleIni. Every read-modify-write
// holds an flock on the file across processes and replaces the file by rename,
// so a crash mid-write never leaves a half-written file.
// Bytes stay as they are: the files hold ANSI text, as on Windows.
#define SI_NO_CONVERSION
#include <SimpleIni.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/profile.h"

namespace zep::platform {

namespace {

std::string TrimBlanks(const char* text) {
  std::string value = text == nullptr ? std::string() : std::string(text);
  size_t begin = value.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  size_t end = value.find_last_not_of(" \t\r\n");
  return value.substr(begin, end - begin + 1);
}

// An flock on the INI file itself. A writer replaces the file by rename, so
// after the lock is taken the path must still name the locked file.
class ProfileFileLock {
 public:
  ProfileFileLock(const char* file, bool exclusive, bool create) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      fd_ = open(file, O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
      if (fd_ < 0) return;
      if (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
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
  }
  ~ProfileFileLock() { Release(); }
  ProfileFileLock(const ProfileFileLock&) = delete;
  ProfileFileLock& operator=(const ProfileFileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  void Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

uint32_t CopyOut(const std::string& value, char* out, uint32_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  uint32_t length = static_cast<uint32_t>(value.size());
  if (length > outSize - 1) length = outSize - 1;
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
  return length;
}

}  // namespace

uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file) {
  std::string fallback = TrimBlanks(defaultValue);
  if (file == nullptr || section == nullptr || key == nullptr) return CopyOut(fallback, out, outSize);
  ProfileFileLock lock(file, false, false);
  if (!lock.Held()) return CopyOut(fallback, out, outSize);
  CSimpleIniA ini(false, false, false);
  ini.SetSpaces(false);
  ini.SetQuotes(false);
  if (ini.LoadFile(file) < 0) return CopyOut(fallback, out, outSize);
  const char* value = ini.GetValue(section, key, nullptr);
  if (value == nullptr) return CopyOut(fallback, out, outSize);
  return CopyOut(TrimBlanks(value), out, outSize);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file) {
  if (file == nullptr || section == nullptr || key == nullptr) return false;
  ProfileFileLock lock(file, true, true);
  if (!lock.Held()) return false;
  CSimpleIniA ini(false, false, false);
  ini.SetSpaces(false);
  if (ini.LoadFile(file) < 0) return false;
  if (value == nullptr)
    ini.Delete(section, key, true);
  else
    ini.SetValue(section, key, TrimBlanks(value).c_str());
  std::string temporary = std::string(file) + ".tmp." + std::to_string(getpid());
  if (ini.SaveFile(temporary.c_str(), false) < 0) {
    unlink(temporary.c_str());
    return false;
  }
  struct stat original {};
  if (stat(file, &original) == 0) chmod(temporary.c_str(), original.st_mode & 07777);
  if (rename(temporary.c_str(), file) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace zep::platform
