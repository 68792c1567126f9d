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

// One block per entry: the key's length and bytes, then the record, so that
// a short key and the record's start share the entry's first line.
static_assert(alignof(EncryptedImageMap) == 1, "a record may start at any byte of its entry");
struct ImageMapTable::Entry {
  size_t keyLength;

  const char* Key() const { return reinterpret_cast<const char*>(this + 1); }
  EncryptedImageMap& Record() {
    return *reinterpret_cast<EncryptedImageMap*>(reinterpret_cast<char*>(this + 1) + keyLength);
  }
  bool Holds(std::string_view key) const {
    return keyLength == key.size() && std::memcmp(Key(), key.data(), key.size()) == 0;
  }
  // The lines that the key check and a copy of the record read next, for an
  // entry whose key has the given length, are asked for at once, before the
  // first of them arrives, not one after another as the check and the copy
  // reach them (under Wine a record by a random key cost 4.0 random reads
  // without this, 2.9 with it).
  void Prefetch(size_t length) const {
    const char* start = reinterpret_cast<const char*>(this);
    const char* end = start + sizeof(Entry) + length + sizeof(EncryptedImageMap);
    for (const char* line = start; line < end; line += 64) __builtin_prefetch(line);
    __builtin_prefetch(end - 1);
  }
  static Entry* Make(std::string_view key) {
    auto* entry = new (::operator new(sizeof(Entry) + key.size() + sizeof(EncryptedImageMap))) Entry{key.size()};
    std::memcpy(reinterpret_cast<char*>(entry + 1), key.data(), key.size());
    new (&entry->Record()) EncryptedImageMap();
    return entry;
  }
  static void Free(Entry* entry) { ::operator delete(entry); }
};

namespace {

// The top bits of a hash, which pick no slot (the low bits do), marked so
// that no entry's mark is 0.
uint8_t MarkOf(uint64_t hash) { return static_cast<uint8_t>(hash >> 57) | 0x80; }

}  // namespace

ImageMapTable::~ImageMapTable() { Clear(); }

size_t ImageMapTable::Locate(std::string_view key, uint64_t hash) const {
  const size_t mask = marks_.size() - 1;
  const uint8_t mark = MarkOf(hash);
  size_t at = hash & mask;
  // The slot's entry is most often the one: asked for now, its line comes
  // while the mark's does, not after it.
  __builtin_prefetch(&entries_[at]);
  // Linear probing ends at a free slot, and one is always left.
  for (; marks_[at] != 0; at = (at + 1) & mask) {
    if (marks_[at] != mark) continue;
    entries_[at]->Prefetch(key.size());
    if (entries_[at]->Holds(key)) break;
  }
  return at;
}

const EncryptedImageMap* ImageMapTable::Find(std::string_view key) const {
  if (size_ == 0) return nullptr;
  const size_t at = Locate(key, SipHash13(key_, key.data(), key.size()));
  return marks_[at] == 0 ? nullptr : &entries_[at]->Record();
}

void ImageMapTable::Grow() {
  const size_t capacity = marks_.empty() ? 16 : marks_.size() * 2;
  std::vector<uint8_t> marks(capacity);
  std::vector<Entry*> entries(capacity);
  std::vector<uint64_t> hashes(capacity);
  const size_t mask = capacity - 1;
  for (size_t from = 0; from < marks_.size(); ++from) {
    if (marks_[from] == 0) continue;
    size_t at = hashes_[from] & mask;
    while (marks[at] != 0) at = (at + 1) & mask;
    marks[at] = marks_[from];
    entries[at] = entries_[from];
    hashes[at] = hashes_[from];
  }
  marks_.swap(marks);
  entries_.swap(entries);
  hashes_.swap(hashes);
}

EncryptedImageMap& ImageMapTable::FindOrInsert(std::string_view key) {
  const uint64_t hash = SipHash13(key_, key.data(), key.size());
  if (size_ != 0) {
    const size_t at = Locate(key, hash);
    if (marks_[at] != 0) return entries_[at]->Record();
  }
  // Grow first: if the entry cannot be made afterwards, a larger index is
  // all that is left behind.
  if ((size_ + 1) * 4 > marks_.size() * 3) Grow();
  Entry* entry = Entry::Make(key);
  const size_t at = Locate(key, hash);
  marks_[at] = MarkOf(hash);
  entries_[at] = entry;
  hashes_[at] = hash;
  ++size_;
  return entry->Record();
}

void ImageMapTable::Erase(std::string_view key) {
  if (size_ == 0) return;
  const size_t mask = marks_.size() - 1;
  size_t hole = Locate(key, SipHash13(key_, key.data(), key.size()));
  if (marks_[hole] == 0) return;
  Entry::Free(entries_[hole]);
  --size_;
  // Pull back the later slots of the run whose probe passed the hole, so that
  // no lookup stops early at it.
  for (size_t at = (hole + 1) & mask; marks_[at] != 0; at = (at + 1) & mask) {
    const size_t home = hashes_[at] & mask;
    const bool homeOutside = hole <= at ? (home <= hole || home > at) : (home <= hole && home > at);
    if (homeOutside) {
      marks_[hole] = marks_[at];
      entries_[hole] = entries_[at];
      hashes_[hole] = hashes_[at];
      hole = at;
    }
  }
  marks_[hole] = 0;
  entries_[hole] = nullptr;
}

void ImageMapTable::Clear() {
  for (size_t at = 0; at < marks_.size(); ++at)
    if (marks_[at] != 0) Entry::Free(entries_[at]);
  std::vector<uint8_t>().swap(marks_);
  std::vector<Entry*>().swap(entries_);
  std::vector<uint64_t>().swap(hashes_);
  size_ = 0;
}

std::string_view GetRequestGUID(const char* request, const char* prefix) {
  if (request == nullptr) return std::string_view();
  // Most requests start with the prefix, and no "GUID=" starts within either
  // prefix: the marker's search may begin after it.
  const size_t prefixLength = std::strlen(prefix);
  const char* from = request;
  if (std::strncmp(request, prefix, prefixLength) == 0) {
    from = request + prefixLength;
  } else if (FindText(request, prefix) == nullptr) {
    return std::string_view();
  }
  const char* marker = FindText(from, "GUID=");
  if (marker == nullptr) return std::string_view();
  return std::string_view(marker + 5);
}

}  // namespace zep
