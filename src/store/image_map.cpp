#include "store/image_map.h"

#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/random_source.h"
#include "platform/thread_identity.h"

namespace zep {

namespace {

uint64_t RotateLeft(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

// Eight bytes as a little-endian number, as SipHash reads its input.
uint64_t LittleEndian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  return value;
}

struct SipState {
  uint64_t v0, v1, v2, v3;

  void Round() {
    v0 += v1;
    v1 = RotateLeft(v1, 13);
    v1 ^= v0;
    v0 = RotateLeft(v0, 32);
    v2 += v3;
    v3 = RotateLeft(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = RotateLeft(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = RotateLeft(v1, 17);
    v1 ^= v2;
    v2 = RotateLeft(v2, 32);
  }
};

HashKey DrawProcessKey() {
  HashKey key;
  if (platform::SystemRandomBytes(&key, sizeof key)) return key;
  // No random source: what differs between processes and runs, mixed. Far
  // weaker, and only ever a fallback.
  int local = 0;
  const uint64_t seeds[] = {platform::MonotonicNanoseconds(), static_cast<uint64_t>(platform::WallClockNanoseconds()),
                            platform::CurrentProcessId(), reinterpret_cast<uintptr_t>(&local),
                            reinterpret_cast<uintptr_t>(&DrawProcessKey)};
  key.k0 = SipHash13(HashKey{0x0123456789ABCDEFull, 0xFEDCBA9876543210ull}, seeds, sizeof seeds);
  key.k1 = SipHash13(HashKey{key.k0, 0x5A5A5A5A5A5A5A5Aull}, seeds, sizeof seeds);
  return key;
}

// The first place the pattern stands in the text, as strstr finds it; null
// when nowhere. The C runtime's own takes ten times as long under Wine.
const char* FindText(const char* text, const char* pattern) {
  for (; *text != '\0'; ++text) {
    if (*text != *pattern) continue;
    size_t matched = 1;
    // The text's terminator differs from any character of the pattern.
    while (pattern[matched] != '\0' && text[matched] == pattern[matched]) ++matched;
    if (pattern[matched] == '\0') return text;
  }
  return nullptr;
}

// Drawn while the library loads, before any thread can call in.
[[maybe_unused]] const HashKey& drawnAtLoad = ProcessHashKey();

}  // namespace

uint64_t SipHash13(const HashKey& key, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  SipState state{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull, key.k0 ^ 0x6c7967656e657261ull,
                 key.k1 ^ 0x7465646279746573ull};
  const size_t whole = size - size % 8;
  for (size_t at = 0; at < whole; at += 8) {
    const uint64_t word = LittleEndian(bytes + at, 8);
    state.v3 ^= word;
    state.Round();
    state.v0 ^= word;
  }
  const uint64_t last = (static_cast<uint64_t>(size) << 56) | LittleEndian(bytes + whole, size % 8);
  state.v3 ^= last;
  state.Round();
  state.v0 ^= last;
  state.v2 ^= 0xFF;
  state.Round();
  state.Round();
  state.Round();
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

const HashKey& ProcessHashKey() {
  // Trivially destructible: nothing to undo at exit.
  static const HashKey key = DrawProcessKey();
  return key;
}

// One block per entry: the record, then the key's bytes.
struct ImageMapTable::Entry {
  size_t keyLength;
  EncryptedImageMap record;

  const char* Key() const { return reinterpret_cast<const char*>(this + 1); }
  bool Holds(std::string_view key) const {
    return keyLength == key.size() && std::memcmp(Key(), key.data(), key.size()) == 0;
  }
  static Entry* Make(std::string_view key) {
    auto* entry = new (::operator new(sizeof(Entry) + key.size())) Entry{key.size(), EncryptedImageMap()};
    std::memcpy(reinterpret_cast<char*>(entry + 1), key.data(), key.size());
    return entry;
  }
  static void Free(Entry* entry) { ::operator delete(entry); }
};

ImageMapTable::~ImageMapTable() { Clear(); }

size_t ImageMapTable::Locate(std::string_view key, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  size_t at = hash & mask;
  // Linear probing ends at a free slot, and one is always left.
  while (slots_[at].entry != nullptr && (slots_[at].hash != hash || !slots_[at].entry->Holds(key)))
    at = (at + 1) & mask;
  return at;
}

const EncryptedImageMap* ImageMapTable::Find(std::string_view key) const {
  if (size_ == 0) return nullptr;
  const Slot& slot = slots_[Locate(key, SipHash13(key_, key.data(), key.size()))];
  return slot.entry == nullptr ? nullptr : &slot.entry->record;
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
  const uint64_t hash = SipHash13(key_, key.data(), key.size());
  if (size_ != 0) {
    const Slot& slot = slots_[Locate(key, hash)];
    if (slot.entry != nullptr) return slot.entry->record;
  }
  // Grow first: if the entry cannot be made afterwards, a larger index is
  // all that is left behind.
  if ((size_ + 1) * 2 > slots_.size()) Grow();
  Entry* entry = Entry::Make(key);
  slots_[Locate(key, hash)] = Slot{hash, entry};
  ++size_;
  return entry->record;
}

void ImageMapTable::Erase(std::string_view key) {
  if (size_ == 0) return;
  const size_t mask = slots_.size() - 1;
  size_t hole = Locate(key, SipHash13(key_, key.data(), key.size()));
  if (slots_[hole].entry == nullptr) return;
  Entry::Free(slots_[hole].entry);
  --size_;
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
  for (const Slot& slot : slots_)
    if (slot.entry != nullptr) Entry::Free(slot.entry);
  std::vector<Slot>().swap(slots_);
  size_ = 0;
}

std::string_view GetRequestGUID(const char* request, const char* prefix) {
  if (request == nullptr || FindText(request, prefix) == nullptr) return std::string_view();
  const char* marker = FindText(request, "GUID=");
  if (marker == nullptr) return std::string_view();
  return std::string_view(marker + 5);
}

}  // namespace zep
