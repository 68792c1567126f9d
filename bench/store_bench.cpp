// GetImage and SetImage with 1e5 keys (found and missing; random keys and one
// key again and again), the memory anchor of the random keys, and Reserved.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "module/entry_points.h"

namespace {

constexpr int kKeys = 100000;

// A request text built in place, so that the loops measure the module and
// not the making of their arguments.
class Request {
 public:
  explicit Request(const char* prefix) : length_(std::strlen(prefix) + 5) {
    std::memcpy(text_, prefix, length_ - 5);
    std::memcpy(text_ + length_ - 5, "GUID=", 5);
  }
  const char* For(int key) {
    *std::to_chars(text_ + length_, text_ + sizeof text_ - 1, key).ptr = '\0';
    return text_;
  }

 private:
  char text_[64] = {};
  size_t length_;
};

void Fill() {
  static bool filled = false;
  if (filled) return;
  std::vector<unsigned char> record(524, 0x5A);
  Request request("/SetEncryptedImageMap?");
  for (int i = 0; i < kKeys; ++i) zep::SetImage(request.For(i), record.data(), 524);
  filled = true;
}

void GetImageFound(benchmark::State& state) {
  Fill();
  unsigned char buffer[524];
  uint32_t size = 0;
  Request request("/GetEncryptedImageMap?");
  int key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zep::GetImage(request.For(key), buffer, &size));
    key = (key + 7919) % kKeys;
  }
}

// One key over and over: the module's own cost, with the record in cache.
void GetImageFoundHot(benchmark::State& state) {
  Fill();
  unsigned char buffer[524];
  uint32_t size = 0;
  Request request("/GetEncryptedImageMap?");
  const char* text = request.For(4242);
  for (auto _ : state) benchmark::DoNotOptimize(zep::GetImage(text, buffer, &size));
}

void GetImageMissing(benchmark::State& state) {
  Fill();
  unsigned char buffer[524];
  uint32_t size = 0;
  Request request("/GetEncryptedImageMap?");
  int key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zep::GetImage(request.For(kKeys + key), buffer, &size));
    ++key;
  }
}

void SetImageOverwrite(benchmark::State& state) {
  Fill();
  std::vector<unsigned char> record(524, 0x33);
  Request request("/SetEncryptedImageMap?");
  int key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(zep::SetImage(request.For(key), record.data(), 524));
    key = (key + 7919) % kKeys;
  }
}

void SetImageOverwriteHot(benchmark::State& state) {
  Fill();
  std::vector<unsigned char> record(524, 0x44);
  Request request("/SetEncryptedImageMap?");
  const char* text = request.For(4242);
  for (auto _ : state) benchmark::DoNotOptimize(zep::SetImage(text, record.data(), 524));
}

// The anchor of the random-key figures: one dependent read at a random place
// in as many bytes as the table's records take, which is what fetching a
// record that is not in cache costs the machine at the least.
void RandomReadAnchor(benchmark::State& state) {
  struct alignas(64) Line {
    Line* next;
  };
  const size_t lines = size_t{kKeys} * 600 / sizeof(Line);
  std::vector<Line> memory(lines);
  std::vector<size_t> order(lines);
  std::iota(order.begin(), order.end(), size_t{0});
  std::shuffle(order.begin(), order.end(), std::mt19937_64(1));
  for (size_t i = 0; i < lines; ++i) memory[order[i]].next = &memory[order[(i + 1) % lines]];
  Line* at = &memory[order[0]];
  for (auto _ : state) {
    at = at->next;
    benchmark::DoNotOptimize(at);
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
BENCHMARK(RandomReadAnchor);
BENCHMARK(ReservedQuery);

}  // namespace
