#include "store/image_map.h"

#include <cstring>

namespace zep {

namespace {

size_t HashKey(std::string_view key) { return std::hash<std::string_view>()(key); }

}  // namespace

size_t ImageMapTable::Locate(std::string_view key, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  size_t at = hash & mask;
  // Linear probing ends at a free slot, and one is always left.
  while (slots_[at].entry != nullptr && (slots_[at].hash != hash || slots_[at].entry->first != key))
    at = (at + 1) & mask;
  return at;
}

const EncryptedImageMap* ImageMapTable::Find(std::string_view key) const {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[Locate(key, HashKey(key))];
  return slot.entry == nullptr ? nullptr : &slot.entry->second;
}

void ImageMapTable::Grow() {
  std::vector<Slot> grown(slots_.empty() ? 16 : slots_.size() * 2);
  const size_t mask = grown.size() - 1;
  for (const Slot& slot : slots_) {
    if (slot.entry == nullptr) continue;
    size_t at = slot.hash & mask;
    while (grown[at].entry != nullptr) at = (at + 1) & mask;
    grown[at] = slot;
  }
  slots_.swap(grown);
}

EncryptedImageMap& ImageMapTable::FindOrInsert(std::string_view key) {
  const size_t hash = HashKey(key);
  if (!slots_.empty()) {
    const Slot& slot = slots_[Locate(key, hash)];
    if (slot.entry != nullptr) return slot.entry->second;
  }
  // Grow first: if the entry cannot be made afterwards, a larger index is
  // all that is left behind.
  if ((entries_.size() + 1) * 2 > slots_.size()) Grow();
  auto entry = entries_.emplace_hint(entries_.lower_bound(key), std::string(key), EncryptedImageMap());
  slots_[Locate(key, hash)] = Slot{hash, &*entry};
  return entry->second;
}

void ImageMapTable::Erase(std::string_view key) {
  if (slots_.empty()) return;
  const size_t mask = slots_.size() - 1;
  size_t hole = Locate(key, HashKey(key));
  if (slots_[hole].entry == nullptr) return;
  entries_.erase(entries_.find(key));
  // Pull back the later slots of the run whose probe passed the hole, so that
  // no lookup stops early at it.
  for (size_t at = (hole + 1) & mask; slots_[at].entry != nullptr; at = (at + 1) & mask) {
    const size_t home = slots_[at].hash & mask;
    const bool homeOutside = hole <= at ? (home <= hole || home > at) : (home <= hole && home > at);
    if (homeOutside) {
      slots_[hole] = slots_[at];
      hole = at;
    }
  }
  slots_[hole] = Slot();
}

void ImageMapTable::Clear() {
  slots_.clear();
  entries_.clear();
}

std::string_view GetRequestGUID(const char* request, const char* prefix) {
  if (request == nullptr) return std::string_view();
  if (std::strstr(request, prefix) == nullptr) return std::string_view();
  const char* marker = std::strstr(request, "GUID=");
  if (marker == nullptr) return std::string_view();
  return std::string_view(marker + 5);
}

}  // namespace zep
