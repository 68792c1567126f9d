// The table of 524-byte records that the host's modules exchange by key.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace zep {

constexpr uint32_t kEncryptedImageMapSize = 524;

struct EncryptedImageMap {
  std::array<uint8_t, kEncryptedImageMapSize> bytes{};
};

// The records by key, in an ordered map: a lookup costs the logarithm of the
// number of keys whatever keys were stored (a hash index could be flooded
// with colliding keys). Keys are looked up as views of the request text,
// without copies.
class ImageMapTable {
 public:
  const EncryptedImageMap* Find(std::string_view key) const;
  // The key's record, a zeroed new one when the key is absent.
  EncryptedImageMap& FindOrInsert(std::string_view key);
  void Erase(std::string_view key);
  void Clear();
  size_t Size() const { return entries_.size(); }

 private:
  std::map<std::string, EncryptedImageMap, std::less<>> entries_;
};

constexpr const char* kGetImagePrefix = "/GetEncryptedImageMap?";
constexpr const char* kSetImagePrefix = "/SetEncryptedImageMap?";

// Everything after the first "GUID=" when the text holds the prefix anywhere;
// empty otherwise. The view points into the request text.
std::string_view GetRequestGUID(const char* request, const char* prefix);

}  // namespace zep
