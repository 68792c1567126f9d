// GetImage and SetImage with 1e5 keys (found and missing), and Reserved.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "module/entry_points.h"

namespace {

constexpr int kKeys = 100000;

std::string Request(const char* prefix, int key) { return std::string(prefix) + "GUID=" + std::to_string(key); }

void Fill() {
  static bool filled = false;
  if (filled) return;
  std::vector<unsigned char> record(524, 0x5A);
  for (int i = 0; i < kKeys; ++i) zep::SetImage(Request("/SetEncryptedImageMap?", i).c_str(), record.data(), 524);
  filled = true;
}

void GetImageFound(benchmark::State& state) {
  Fill();
  unsigned char buffer[524];
  uint32_t size = 0;
  int key = 0;
  for (auto _ : state) {
    const std::string request = Request("/GetEncryptedImageMap?", key);
    benchmark::DoNotOptimize(zep::GetImage(request.c_str(), buffer, &size));
    key = (key + 7919) % kKeys;
  }
}

void GetImageMissing(benchmark::State& state) {
  Fill();
  unsigned char buffer[524];
  uint32_t size = 0;
  int key = 0;
  for (auto _ : state) {
    const std::string request = Request("/GetEncryptedImageMap?", kKeys + key);
    benchmark::DoNotOptimize(zep::GetImage(request.c_str(), buffer, &size));
    ++key;
  }
}

void SetImageOverwrite(benchmark::State& state) {
  Fill();
  std::vector<unsigned char> record(524, 0x33);
  int key = 0;
  for (auto _ : state) {
    const std::string request = Request("/SetEncryptedImageMap?", key);
    benchmark::DoNotOptimize(zep::SetImage(request.c_str(), record.data(), 524));
    key = (key + 7919) % kKeys;
  }
}

void ReservedQuery(benchmark::State& state) {
  for (int i = 0; i < 1000; ++i)
    zep::Reserved("addFileToWhiteList", ("C:\\Data\\file" + std::to_string(i) + ".txt").c_str(), 0);
  int i = 0;
  for (auto _ : state) {
    const std::string path = "C:\\Data\\file" + std::to_string(i % 2000) + ".txt";
    benchmark::DoNotOptimize(zep::Reserved("fileInQROWhiteList", path.c_str(), 0));
    ++i;
  }
}

BENCHMARK(GetImageFound);
BENCHMARK(GetImageMissing);
BENCHMARK(SetImageOverwrite);
BENCHMARK(ReservedQuery);

}  // namespace
