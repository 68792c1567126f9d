#include "settings/files.h"

#include <cstring>

#include "platform/system_error.h"
#include "settings/paths.h"
#include "settings/utf8_to_wide.h"

namespace zep {

namespace {
// A failure without a system code still reports failure (-3000), never 0.
int ErrorResult(uint32_t code) { return -3000 - static_cast<int>(code); }
}  // namespace

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

platform::FileHandle OpenFileForWrite(const std::string& utf8Path, platform::Disposition disposition) {
  std::u16string wide;
  Utf8ToWide(utf8Path.data(), utf8Path.size(), wide);
  return platform::OpenFileForWriteWide(wide, disposition);
}

int WriteWholeFile(const char* path, const void* data, uint32_t length) {
  if (path == nullptr) return kWriteInvalidArgument;
  uint32_t attributes = 0;
  if (platform::GetFileAttributesNarrow(path, &attributes)) {
    uint32_t wanted =
        (attributes & platform::kFileAttributeReadOnly) != 0 ? platform::kFileAttributeNormal : attributes;
    if (!platform::SetFileAttributesNarrow(path, wanted)) return kWriteInvalidArgument;
  }
  CreateParentDirectories(path);
  platform::FileHandle file = OpenFileForWrite(path, platform::Disposition::CreateAlways);
  if (!file.Valid()) return ErrorResult(platform::LastSystemError());
  if (file.WriteAll(data, length)) return 0;
  uint32_t code = platform::LastSystemError();
  file.Close();
  platform::DeleteFileNarrow(path);
  return ErrorResult(code);
}

}  // namespace zep
