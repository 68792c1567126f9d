// The table of 524-byte records that the host's modules exchange by key.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zep {

constexpr uint32_t kEncryptedImageMapSize = 524;

struct EncryptedImageMap {
  std::array<uint8_t, kEncryptedImageMapSize> bytes{};
};

// The records by key: an ordered map whose entries hold the records, and an
// open-addressing hash index over the entries, so that a lookup among many
// keys reads one slot of a compact array and then the entry itself, instead
// of a path down the tree or a chain of separately allocated hash nodes.
// Keys are looked up as views of the request text, without copies.
class ImageMapTable {
 public:
  const EncryptedImageMap* Find(std::string_view key) const;
  // The key's record, a zeroed new one when the key is absent.
  EncryptedImageMap& FindOrInsert(std::string_view key);
  void Erase(std::string_view key);
  void Clear();
  size_t Size() const { return entries_.size(); }

 private:
  using Entries = std::map<std::string, EncryptedImageMap, std::less<>>;
  // An entry's key hash and its node, which never moves; null when free.
  struct Slot {
    size_t hash = 0;
    Entries::value_type* entry = nullptr;
  };

  // The key's slot, or the free slot where its probe ends.
  size_t Locate(std::string_view key, size_t hash) const;
  // Doubles the index; at most half its slots are ever in use.
  void Grow();

  Entries entries_;
  std::vector<Slot> slots_;  // a power of two in size, or empty
};

constexpr const char* kGetImagePrefix = "/GetEncryptedImageMap?";
constexpr const char* kSetImagePrefix = "/SetEncryptedImageMap?";

// Everything after the first "GUID=" when the text holds the prefix anywhere;
// empty otherwise. The view points into the request text.
std::string_view GetRequestGUID(const char* request, const char* prefix);

}  // namespace zep
