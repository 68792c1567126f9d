#include "store/image_map.h"

#include <cstring>

#include "module/virtual_manager_client.h"

namespace zep {

std::string GetRequestGUID(const char* request, const char* prefix) {
  if (request == nullptr) return std::string();
  const std::string text(request);
  if (text.find(prefix) == std::string::npos) return std::string();
  const size_t marker = text.find("GUID=");
  if (marker == std::string::npos) return std::string();
  return text.substr(marker + 5);
}

int32_t VirtualManagerClient::GetEncryptedImageMap(const char* request, void* buffer, uint32_t* size) {
  const std::string key = GetRequestGUID(request, kGetImagePrefix);
  if (key.empty()) return 0;
  EncryptedImageMap record;
  bool found = false;
  {
    SharedLockGuard guard(&storeLock);
    if (!guard.Owned()) return 0;
    auto entry = imageMaps.find(key);
    if (entry != imageMaps.end()) {
      record = entry->second;
      found = true;
    }
  }
  // Without somewhere to report the size the caller cannot use the record.
  if (!found || size == nullptr) return 0;
  *size = kEncryptedImageMapSize;
  if (buffer != nullptr) std::memcpy(buffer, record.bytes.data(), kEncryptedImageMapSize);
  return 1;
}

int32_t VirtualManagerClient::SetEncryptedImageMap(const char* request, const void* data, uint32_t size) {
  const std::string key = GetRequestGUID(request, kSetImagePrefix);
  if (key.empty()) return 0;
  if (data == nullptr) {
    ExclusiveLockGuard guard(&storeLock);
    if (!guard.Owned()) return 0;
    imageMaps.erase(key);
    return 1;
  }
  // A record holds 524 bytes; a larger one would be cut: refuse it whole.
  if (size > kEncryptedImageMapSize) return 0;
  EncryptedImageMap record;
  std::memcpy(record.bytes.data(), data, size);
  ExclusiveLockGuard guard(&storeLock);
  if (!guard.Owned()) return 0;
  imageMaps[key] = record;
  return 1;
}

}  // namespace zep
