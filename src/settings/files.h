// Creating the directories on the way to a file.
#pragma once

#include <string>

namespace zep {

// Creates the missing directories up to the parent of the path.
bool CreateDirectoryChain(const std::u16string& path);
bool CreateParentDirectories(const std::string& utf8Path);

}  // namespace zep
