// Writing whole files and creating the directories on the way.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"

namespace zep {

// Creates the missing directories up to the parent of the path.
bool CreateDirectoryChain(const std::u16string& path);
bool CreateParentDirectories(const std::string& utf8Path);
platform::FileHandle OpenFileForWrite(const std::string& utf8Path, platform::Disposition disposition);

constexpr int kWriteInvalidArgument = 22;
// 0 on success; 22 for a null path or unusable attributes; -3000 minus the
// system error code when the file cannot be opened or written. A failed write
// leaves no file behind.
int WriteWholeFile(const char* path, const void* data, uint32_t length);

}  // namespace zep
