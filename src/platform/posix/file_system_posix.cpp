#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/posix/descriptor_posix.h"
#include "platform/posix/owned_files_posix.h"

namespace zep::platform {

namespace {

std::string ToUtf8(const std::u16string& path) {
  std::string narrow;
  try {
    utf8::utf16to8(path.begin(), path.end(), std::back_inserter(narrow));
  } catch (const utf8::exception&) {
    return std::string();
  }
  return narrow;
}

void ModuleAnchor() {}

// The loader may know the library by a relative name, which only the working
// folder of the moment of loading resolves: the path is resolved while the
// library loads, before a host can change folders. Plain bytes, so that
// nothing is destroyed at exit.
char loadedPath[PATH_MAX];

// The library's absolute path now; empty when it has none. Linked into a
// program, the loader names it by argv[0], which the program's caller
// writes as it likes: the kernel's own link to the program counts then.
std::string ResolveModulePath() {
  Dl_info info{}, program{};
  if (dladdr(reinterpret_cast<void*>(&ModuleAnchor), &info) == 0 || info.dli_fname == nullptr) return std::string();
  const auto headers = reinterpret_cast<void*>(getauxval(AT_PHDR));
  const bool inProgram = headers != nullptr && dladdr(headers, &program) != 0 && program.dli_fbase == info.dli_fbase;
  char resolved[PATH_MAX];
  if (realpath(inProgram ? "/proc/self/exe" : info.dli_fname, resolved) == nullptr || resolved[0] != '/')
    return std::string();
  return std::string(resolved);
}

__attribute__((constructor)) void ResolveWhileLoading() {
  const std::string path = ResolveModulePath();
  if (path.size() < sizeof loadedPath) std::memcpy(loadedPath, path.c_str(), path.size() + 1);
}

}  // namespace

// Empty when it could not be resolved while loading: resolving it now could
// only take the working folder of now.
std::string ModuleFilePath() { return std::string(loadedPath); }

bool CreateDirectoryNarrow(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool PathExistsWide(const std::u16string& path) {
  std::string narrow = ToUtf8(path);
  struct stat info {};
  return !narrow.empty() && stat(narrow.c_str(), &info) == 0;
}

bool CreateDirectoryWide(const std::u16string& path) {
  std::string narrow = ToUtf8(path);
  return !narrow.empty() && mkdir(narrow.c_str(), 0777) == 0;
}

namespace {

// Opens the file for appending. A file created here is open to every user
// (0666 whatever the umask) or writable by its creator alone (0644). An
// existing one is taken only when it is this user's own plain file (or its
// folder owner's); one of the creator's own that others may write is made
// its own again.
int OpenSharedForAppend(const std::string& path, FileWriters writers) {
  const mode_t mode = writers == FileWriters::kEveryone ? 0666 : 0644;
  int fd = OpenOwned(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, mode, OwnedKind::File);
  if (fd >= 0) {
    fchmod(fd, mode);
    return fd;
  }
  if (errno != EEXIST) return -1;
  fd = OpenOwned(path, O_WRONLY | O_APPEND, 0, OwnedKind::File);
  struct stat info {};
  if (fd >= 0 && writers == FileWriters::kCreator && fstat(fd, &info) == 0 && info.st_uid == geteuid() &&
      (info.st_mode & 022) != 0)
    fchmod(fd, info.st_mode & 07755);
  return fd;
}

}  // namespace

bool ProbeSharedFile(const std::string& path, FileWriters writers) {
  const int fd = OpenSharedForAppend(path, writers);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool AppendToSharedFile(const std::string& path, const std::string& bytes, FileWriters writers, uint64_t startOverAt,
                        const std::function<std::string()>& note) {
  // O_APPEND makes the one write land whole at the end, whoever else appends.
  const Descriptor file(OpenSharedForAppend(path, writers));
  if (file.Get() < 0) return false;
  struct stat info {};
  const bool full = startOverAt != 0 && fstat(file.Get(), &info) == 0 && info.st_uid == geteuid() &&
                    static_cast<uint64_t>(info.st_size) >= startOverAt;
  // Made before the file is emptied: a note that cannot be made leaves it as it was.
  const std::string text = full && note ? note() + bytes : std::string();
  const bool startOver = full && ftruncate(file.Get(), 0) == 0;
  const std::string& out = startOver && !text.empty() ? text : bytes;
  const ssize_t written = write(file.Get(), out.data(), out.size());
  return written == static_cast<ssize_t>(out.size());
}

bool WriteNewPrivateFile(const std::string& path, const std::string& bytes) {
  // unlink removes a planted link itself, never what it points to.
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
  const bool ok = done == bytes.size() && fsync(fd) == 0;
  close(fd);
  if (!ok) unlink(path.c_str());
  return ok;
}

uint32_t TempPath(char* buffer, uint32_t bufferSize) {
  const char* directory = getenv("TMPDIR");
  if (directory == nullptr || *directory == '\0') directory = "/tmp";
  std::string path(directory);
  if (path.back() != '/') path += '/';
  if (path.size() + 1 > bufferSize) return static_cast<uint32_t>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<uint32_t>(path.size());
}

}  // namespace zep::platform
