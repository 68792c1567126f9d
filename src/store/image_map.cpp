#include "store/image_map.h"

#include <cstring>

#include "module/virtual_manager_client.h"

namespace zep {

const EncryptedImageMap* ImageMapTable::Find(std::string_view key) const {
  auto entry = index_.find(key);
  return entry == index_.end() ? nullptr : entry->second;
}

EncryptedImageMap& ImageMapTable::FindOrInsert(std::string_view key) {
  auto indexed = index_.find(key);
  if (indexed != index_.end()) return *indexed->second;
  // A new key goes in at the position the ordered lookup finds.
  auto entry = entries_.emplace_hint(entries_.lower_bound(key), std::string(key), EncryptedImageMap());
  try {
    index_.emplace(std::string_view(entry->first), &entry->second);
  } catch (...) {
    entries_.erase(entry);
    throw;
  }
  return entry->second;
}

void ImageMapTable::Erase(std::string_view key) {
  auto entry = entries_.find(key);
  if (entry == entries_.end()) return;
  index_.erase(std::string_view(entry->first));
  entries_.erase(entry);
}

void ImageMapTable::Clear() {
  index_.clear();
  entries_.clear();
}

std::string_view GetRequestGUID(const char* request, const char* prefix) {
  if (request == nullptr) return std::string_view();
  if (std::strstr(request, prefix) == nullptr) return std::string_view();
  const char* marker = std::strstr(request, "GUID=");
  if (marker == nullptr) return std::string_view();
  return std::string_view(marker + 5);
}

int32_t VirtualManagerClient::GetEncryptedImageMap(const char* request, void* buffer, uint32_t* size) {
  const std::string_view key = GetRequestGUID(request, kGetImagePrefix);
  if (key.empty()) return 0;
  EncryptedImageMap record;
  bool found = false;
  {
    SharedLockGuard guard(&storeLock);
    if (!guard.Owned()) return 0;
    if (const EncryptedImageMap* stored = imageMaps.Find(key)) {
      record = *stored;
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
  const std::string_view key = GetRequestGUID(request, kSetImagePrefix);
  if (key.empty()) return 0;
  if (data == nullptr) {
    ExclusiveLockGuard guard(&storeLock);
    if (!guard.Owned()) return 0;
    imageMaps.Erase(key);
    return 1;
  }
  // A record holds 524 bytes; a larger one would be cut: refuse it whole.
  if (size > kEncryptedImageMapSize) return 0;
  EncryptedImageMap record;
  std::memcpy(record.bytes.data(), data, size);
  ExclusiveLockGuard guard(&storeLock);
  if (!guard.Owned()) return 0;
  imageMaps.FindOrInsert(key) = record;
  return 1;
}

}  // namespace zep
