// GetImage and SetImage with 1e5 keys (found and missing; keys far apart one
// after another and one key again and again), the memory anchor of the
// far-apart keys, and Reserved. The same with keys that share a 200-byte
// prefix and with keys crafted against the table's hash, beside the plain
// ones; and what the crafted keys do to a table whose hash key they know.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "module/entry_points.h"
#include "paired.h"
#include "store/image_map.h"

namespace {

constexpr int kKeys = 100000;
// Keys visited one after another lie this far apart in the key order.
constexpr int kStride = 7919;

enum KeyKind { kPlain, kPrefixed, kCrafted };

// Keys crafted the way a flood of colliding keys is made: decimal texts whose
// hash under a key the attacker assumes (here the all-zero one) has bits 10
// to 17 zero, so that in any table of 2^10 to 2^18 slots hashed with that key
// they all start their probes in its first 1024 slots and pile into one run.
// The table's own key is drawn at random per process, and no one outside
// knows it.
bool Crafted(uint64_t hash) { return ((hash >> 10) & 0xFF) == 0; }

const std::vector<uint32_t>& CraftedNumbers() {
  static const std::vector<uint32_t> numbers = [] {
    std::vector<uint32_t> found;
    found.reserve(kKeys);
    char text[16];
    for (uint32_t n = 0; found.size() < static_cast<size_t>(kKeys); ++n) {
      const size_t length = static_cast<size_t>(std::to_chars(text, text + sizeof text, n).ptr - text);
      if (Crafted(zep::SipHash13(zep::HashKey{}, text, length))) found.push_back(n);
    }
    return found;
  }();
  return numbers;
}

// Request texts built in place, so that the loops measure the module and not
// the making of their arguments. Key i of a kind: its number in decimal;
// after 200 'p's for the prefixed kind; the i-th crafted number for the
// crafted one.
class Request {
 public:
  Request(const char* prefix, KeyKind kind) : kind_(kind), keyStart_(std::strlen(prefix) + 5) {
    std::string text = std::string(prefix) + "GUID=";
    if (kind == kPrefixed) text.append(200, 'p');
    std::memcpy(text_, text.data(), text.size());
    length_ = text.size();
  }
  const char* For(int key) {
    const uint32_t number = kind_ == kCrafted ? CraftedNumbers()[static_cast<size_t>(key)] : static_cast<uint32_t>(key);
    *std::to_chars(text_ + length_, text_ + sizeof text_ - 1, number).ptr = '\0';
    return text_;
  }
  // The key alone, as the module takes it from the text.
  std::string_view Key(int key) { return std::string_view(For(key) + keyStart_); }

 private:
  KeyKind kind_;
  size_t keyStart_;
  char text_[320] = {};
  size_t length_ = 0;
};

// The module's table holds the 1e5 keys of one kind at a time: a new
// singleton for each kind, so that the kinds do not share the table.
int filled = -1;

void Fill(KeyKind kind) {
  if (filled == kind) return;
  zep::DoAction(3, nullptr, nullptr);
  std::vector<unsigned char> record(524, 0x5A);
  Request request("/SetEncryptedImageMap?", kind);
  for (int i = 0; i < kKeys; ++i) zep::SetImage(request.For(i), record.data(), 524);
  filled = kind;
}

void GetImageFoundOf(benchmark::State& state, KeyKind kind) {
  Fill(kind);
  unsigned char buffer[524];
  uint32_t size = 0;
  Request request("/GetEncryptedImageMap?", kind);
  int key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zep::GetImage(request.For(key), buffer, &size));
    key = (key + kStride) % kKeys;
  }
}

void GetImageFound(benchmark::State& state) { GetImageFoundOf(state, kPlain); }
void GetImagePrefixedFound(benchmark::State& state) { GetImageFoundOf(state, kPrefixed); }
void GetImageCraftedFound(benchmark::State& state) { GetImageFoundOf(state, kCrafted); }

// One key over and over: the module's own cost, with the record in cache.
void GetImageFoundHot(benchmark::State& state) {
  Fill(kPlain);
  unsigned char buffer[524];
  uint32_t size = 0;
  Request request("/GetEncryptedImageMap?", kPlain);
  const char* text = request.For(4242);
  for (auto _ : state) benchmark::DoNotOptimize(zep::GetImage(text, buffer, &size));
}

void GetImageMissing(benchmark::State& state) {
  Fill(kPlain);
  unsigned char buffer[524];
  uint32_t size = 0;
  Request request("/GetEncryptedImageMap?", kPlain);
  int key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zep::GetImage(request.For(kKeys + key), buffer, &size));
    ++key;
  }
}

void SetImageOverwrite(benchmark::State& state) {
  Fill(kPlain);
  std::vector<unsigned char> record(524, 0x33);
  Request request("/SetEncryptedImageMap?", kPlain);
  int key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zep::SetImage(request.For(key), record.data(), 524));
    key = (key + kStride) % kKeys;
  }
}

void SetImageOverwriteHot(benchmark::State& state) {
  Fill(kPlain);
  std::vector<unsigned char> record(524, 0x44);
  Request request("/SetEncryptedImageMap?", kPlain);
  const char* text = request.For(4242);
  for (auto _ : state) benchmark::DoNotOptimize(zep::SetImage(text, record.data(), 524));
}

// Storing 1e5 new keys of a kind into an empty table, per key.
void StoreNewKeysOf(benchmark::State& state, KeyKind kind) {
  CraftedNumbers();
  std::vector<unsigned char> record(524, 0x66);
  Request request("/SetEncryptedImageMap?", kind);
  filled = -1;
  for (auto _ : state) {
    zep::DoAction(3, nullptr, nullptr);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kKeys; ++i) zep::SetImage(request.For(i), record.data(), 524);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kKeys);
  }
  zep::DoAction(3, nullptr, nullptr);
}

void StoreNewKeys(benchmark::State& state) { StoreNewKeysOf(state, kPlain); }
void StoreNewCraftedKeys(benchmark::State& state) { StoreNewKeysOf(state, kCrafted); }

// The crafted keys in a table keyed with the key they were crafted against:
// what they would cost a table whose hash key an attacker knows.
void CraftedKeysAgainstTheirKey(benchmark::State& state) {
  static zep::ImageMapTable* table = [] {
    auto* known = new zep::ImageMapTable(zep::HashKey{});
    Request request("/SetEncryptedImageMap?", kCrafted);
    for (int i = 0; i < kKeys; ++i) known->FindOrInsert(request.Key(i)).bytes[0] = 1;
    return known;
  }();
  Request request("/GetEncryptedImageMap?", kCrafted);
  int key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table->Find(request.Key(key)));
    key = (key + kStride) % kKeys;
  }
}

// The anchor of the far-apart figures: one dependent read at a random place
// in as many bytes as the table's records take, which is what fetching a
// record that is not in cache costs the machine at the least.
// The anchor of the far-apart keys: one read that depends on the one before,
// at random in 60 MB (the records' memory).
class RandomReads {
 public:
  RandomReads() : memory_(size_t{kKeys} * 600 / sizeof(Line)) {
    std::vector<size_t> order(memory_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::shuffle(order.begin(), order.end(), std::mt19937_64(1));
    for (size_t i = 0; i < order.size(); ++i) memory_[order[i]].next = &memory_[order[(i + 1) % order.size()]];
    at_ = &memory_[order[0]];
  }
  void Read() {
    at_ = at_->next;
    benchmark::DoNotOptimize(at_);
  }

 private:
  struct alignas(64) Line {
    Line* next;
  };
  std::vector<Line> memory_;
  Line* at_ = nullptr;
};

void RandomReadAnchor(benchmark::State& state) {
  RandomReads reads;
  for (auto _ : state) reads.Read();
}

// GetImage by far-apart keys against the random read, in alternating slices
// (paired.h).
void GetImageAgainstRandomRead(benchmark::State& state) {
  Fill(kPlain);
  RandomReads reads;
  unsigned char buffer[524];
  uint32_t size = 0;
  Request request("/GetEncryptedImageMap?", kPlain);
  int key = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    bench::ReportPaired(state, bench::MeasurePaired(
                                   [&] {
                                     benchmark::DoNotOptimize(zep::GetImage(request.For(key), buffer, &size));
                                     key = (key + kStride) % kKeys;
                                   },
                                   [&] { reads.Read(); }));
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

void ReservedQuery(benchmark::State& state) {
  for (int i = 0; i < 1000; ++i)
    zep::Reserved("addFileToWhiteList", ("C:\\Data\\file" + std::to_string(i) + ".txt").c_str(), 0);
  char path[64] = "C:\\Data\\file";
  char* const number = path + std::strlen(path);
  int i = 0;
  for (auto _ : state) {
    std::memcpy(std::to_chars(number, path + 48, i % 2000).ptr, ".txt", 5);
    benchmark::DoNotOptimize(zep::Reserved("fileInQROWhiteList", path, 0));
    ++i;
  }
}

BENCHMARK(GetImageFound);
BENCHMARK(GetImageFoundHot);
BENCHMARK(GetImageMissing);
BENCHMARK(SetImageOverwrite);
BENCHMARK(SetImageOverwriteHot);
BENCHMARK(GetImagePrefixedFound);
BENCHMARK(GetImageCraftedFound);
BENCHMARK(StoreNewKeys)->UseManualTime()->Iterations(3);
BENCHMARK(StoreNewCraftedKeys)->UseManualTime()->Iterations(3);
BENCHMARK(CraftedKeysAgainstTheirKey);
BENCHMARK(RandomReadAnchor);
BENCHMARK(GetImageAgainstRandomRead)->UseManualTime()->Iterations(1);
BENCHMARK(ReservedQuery);

}  // namespace
