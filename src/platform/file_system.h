// Files and directories.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zep::platform {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Long full path of the file this code was loaded from (the library, or the
// program it is linked into); empty on failure.
std::string ModuleFilePath();

bool CreateDirectoryNarrow(const std::string& path);

bool PathExistsWide(const std::u16string& path);
bool CreateDirectoryWide(const std::u16string& path);

// Who may write a file that the functions below create: every user (the
// ports file the copies write), or the account that created it alone (a log).
enum class FileWriters { kEveryone, kCreator };
// Opens the file in append mode with full sharing, creating it when missing,
// and closes it: an existing file keeps its contents.
bool ProbeSharedFile(const std::string& path, FileWriters writers);
// Appends the bytes with one write to a file opened with full sharing.
// startOverAt: a file of the writer's own that already holds that many bytes
// is emptied first, through the handle that was checked, and starts with the
// note, made only then (0: never).
bool AppendToSharedFile(const std::string& path, const std::string& bytes, FileWriters writers,
                        uint64_t startOverAt = 0, const std::function<std::string()>& note = nullptr);

// Writes a new file that only the current user (and the system's
// administrators) may change, in a folder that others may write to: whatever
// stands at the path is removed first, and the file is then created
// exclusively, never through a link and never into a file someone else
// prepared. False when that cannot be done; nothing is written then.
bool WriteNewPrivateFile(const std::string& path, const std::string& bytes);

// The temporary folder with its trailing separator: on Windows the one only
// SYSTEM may use, for a process running as SYSTEM, where the system has one
// (GetTempPath2A), else as GetTempPathA fills it. Returns its length, 0 on
// failure, or the size needed when it does not fit.
uint32_t TempPath(char* buffer, uint32_t bufferSize);

}  // namespace zep::platform
