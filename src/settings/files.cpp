#include "settings/files.h"

#include "common/utf8_to_wide.h"
#include "platform/file_system.h"
#include "settings/paths.h"

namespace zep {

bool CreateDirectoryChain(const std::u16string& path) {
  if (path.empty()) return false;
  const char16_t separator = static_cast<char16_t>(platform::kPathSeparator);
  size_t last = path.rfind(separator);
  if (last == std::u16string::npos) return true;
  std::u16string parent = path.substr(0, last);
  if (parent.size() >= kMaxPath) return false;
  for (size_t i = 0; i < parent.size(); ++i) {
    if (parent[i] != separator) continue;
    std::u16string prefix = parent.substr(0, i);
    if (prefix.empty() || platform::PathExistsWide(prefix)) continue;
    if (!platform::CreateDirectoryWide(prefix)) return false;
  }
  return platform::PathExistsWide(parent) || platform::CreateDirectoryWide(parent);
}

bool CreateParentDirectories(const std::string& utf8Path) {
  std::u16string wide;
  Utf8ToWide(utf8Path.data(), utf8Path.size(), wide);
  return CreateDirectoryChain(wide);
}

}  // namespace zep
