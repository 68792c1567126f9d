// The whitelist of file paths behind the exported Reserved.
#include <cstring>
#include <string>
#include <string_view>

#include "module/entry_points.h"
#include "module/virtual_manager_client.h"
#include "settings/log.h"

namespace zep {

namespace {

constexpr const char* kQueryKey = "fileInQROWhiteList";
constexpr const char* kAddKey = "addFileToWhiteList";
constexpr size_t kKeyLength = 18;

// Backslashes become slashes; nothing else changes. The text goes into a
// buffer on the stack when it fits one, so that a query allocates nothing.
class NormalizedPath {
 public:
  explicit NormalizedPath(const char* path) {
    const size_t length = std::strlen(path);
    char* out = inPlace_;
    if (length >= sizeof inPlace_) {
      long_.resize(length);
      out = long_.data();
    }
    for (size_t i = 0; i < length; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
    out[length] = '\0';
    text_ = std::string_view(out, length);
  }
  std::string_view View() const { return text_; }
  const char* CString() const { return text_.data(); }

 private:
  char inPlace_[512];
  std::string long_;
  std::string_view text_;
};

}  // namespace

bool VirtualManagerClient::FileIsInWhiteList(const char* path) {
  SharedLockGuard guard(&storeLock);
  if (!guard.Owned()) return false;
  const NormalizedPath normalized(path);
  if (LogEnabled(kLogDebug))
    LogDebug("FileIsInWhiteList: [%s][%s].", LogText(path).c_str(), LogText(normalized.CString()).c_str());
  return fileWhiteList.find(normalized.View()) != fileWhiteList.end();
}

bool VirtualManagerClient::AddFileToWhiteList(const char* path) {
  ExclusiveLockGuard guard(&storeLock);
  if (!guard.Owned()) return false;
  fileWhiteList.emplace(NormalizedPath(path).View());
  return true;
}

int32_t Reserved(const char* key, const char* path, intptr_t reserved) {
  if (key == nullptr || path == nullptr || reserved != 0) return -1;
  // strncmp stops at a shorter key's terminator, so such a key selects nothing.
  const bool query = std::strncmp(key, kQueryKey, kKeyLength) == 0;
  if (!query && std::strncmp(key, kAddKey, kKeyLength) != 0) return -1;
  VirtualManagerClient* client = VirtualManagerClient::GetInstance();
  if (client == nullptr) return -1;
  if (query) return client->FileIsInWhiteList(path) ? 0 : -1;
  // An add that could not take the lock reports failure rather than success.
  return client->AddFileToWhiteList(path) ? 0 : -1;
}

}  // namespace zep
