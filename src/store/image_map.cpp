#include "store/image_map.h"

#include <cstring>

namespace zep {

const EncryptedImageMap* ImageMapTable::Find(std::string_view key) const {
  const auto entry = entries_.find(key);
  return entry == entries_.end() ? nullptr : &entry->second;
}

EncryptedImageMap& ImageMapTable::FindOrInsert(std::string_view key) {
  auto entry = entries_.lower_bound(key);
  if (entry != entries_.end() && entry->first == key) return entry->second;
  return entries_.emplace_hint(entry, std::string(key), EncryptedImageMap())->second;
}

void ImageMapTable::Erase(std::string_view key) {
  const auto entry = entries_.find(key);
  if (entry != entries_.end()) entries_.erase(entry);
}

void ImageMapTable::Clear() { entries_.clear(); }

std::string_view GetRequestGUID(const char* request, const char* prefix) {
  if (request == nullptr) return std::string_view();
  if (std::strstr(request, prefix) == nullptr) return std::string_view();
  const char* marker = std::strstr(request, "GUID=");
  if (marker == nullptr) return std::string_view();
  return std::string_view(marker + 5);
}

}  // namespace zep
