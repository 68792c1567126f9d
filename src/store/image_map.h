// The table of 524-byte records that the host's modules exchange by key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zep {

constexpr uint32_t kEncryptedImageMapSize = 524;

struct EncryptedImageMap {
  std::array<uint8_t, kEncryptedImageMapSize> bytes{};
};

// The secret of a keyed hash.
struct HashKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// SipHash-1-3 of the bytes under the key: whoever does not know the key
// cannot choose texts whose hashes collide.
uint64_t SipHash13(const HashKey& key, const void* data, size_t size);

// The process's own hash key, drawn from the system's random source the
// first time it is asked for.
const HashKey& ProcessHashKey();

// The records by key, in an open-addressing hash index keyed with the
// process's random key, so that keys chosen by a caller spread as random ones
// do. A lookup scans a byte per slot (a few bits of each entry's hash, an
// array small enough to stay in cache), reads the one slot whose bits match
// and then its entry, whatever the keys. Each entry holds its key and its
// record in one block. Keys are looked up as views of the request text,
// without copies. No caller sees an order.
class ImageMapTable {
 public:
  explicit ImageMapTable(const HashKey& key = ProcessHashKey()) : key_(key) {}
  ~ImageMapTable();
  ImageMapTable(const ImageMapTable&) = delete;
  ImageMapTable& operator=(const ImageMapTable&) = delete;

  const EncryptedImageMap* Find(std::string_view key) const;
  // The key's record, a zeroed new one when the key is absent.
  EncryptedImageMap& FindOrInsert(std::string_view key);
  void Erase(std::string_view key);
  void Clear();
  size_t Size() const { return size_; }

 private:
  struct Entry;

  // The key's slot, or the free slot where its probe ends.
  size_t Locate(std::string_view key, uint64_t hash) const;
  // Doubles the index; at most three quarters of its slots are ever in use.
  void Grow();

  HashKey key_;
  // Per slot, in arrays of a power of two in size (or empty): 0 when free,
  // else a few bits of its entry's hash (never 0); the entry; and the
  // entry's whole hash, which only growth and erasure read.
  std::vector<uint8_t> marks_;
  std::vector<Entry*> entries_;
  std::vector<uint64_t> hashes_;
  size_t size_ = 0;
};

constexpr const char* kGetImagePrefix = "/GetEncryptedImageMap?";
constexpr const char* kSetImagePrefix = "/SetEncryptedImageMap?";

// Everything after the first "GUID=" when the text holds the prefix anywhere;
// empty otherwise. The view points into the request text.
std::string_view GetRequestGUID(const char* request, const char* prefix);

}  // namespace zep
