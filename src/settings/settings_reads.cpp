#include "settings/settings_reads.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/file_system.h"
#include "platform/folder_watch.h"
#include "platform/profile.h"

namespace zep {

namespace {

struct Read {
  uint64_t generation;
  uint32_t copied;
  std::string value;
};

// A bound on what is kept; the reads of the module are few.
constexpr size_t kMaxKept = 4096;

struct ReadCache {
  std::mutex mutex;
  std::string folder;
  std::unique_ptr<platform::FolderWatch> watch;
  uint64_t generation = 1;
  std::unordered_map<std::string, Read> reads;

  // Called with the mutex held.
  uint64_t Poll() {
    if (watch == nullptr || watch->Changed()) ++generation;
    return generation;
  }
};

ReadCache& Cache() {
  static ReadCache cache;
  return cache;
}

bool InFolder(const std::string& file, const std::string& folder) {
  if (folder.empty() || file.size() <= folder.size() || file.compare(0, folder.size(), folder) != 0) return false;
  return file.find(platform::kPathSeparator, folder.size()) == std::string::npos;
}

}  // namespace

void WatchSettingsFolder(const std::string& folder) {
  ReadCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  cache.folder = folder;
  if (!cache.folder.empty() && cache.folder.back() != platform::kPathSeparator)
    cache.folder += platform::kPathSeparator;
  cache.watch = std::make_unique<platform::FolderWatch>(cache.folder);
  ++cache.generation;
}

uint64_t SettingsGeneration() {
  ReadCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  return cache.Poll();
}

void SettingsWritten() {
  ReadCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  ++cache.generation;
}

uint32_t ReadProfileValueCached(const char* section, const char* key, const char* defaultValue, char* out,
                                uint32_t outSize, const std::string& file, bool* tooLarge) {
  ReadCache& cache = Cache();
  std::string name;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(cache.mutex);
    if (!InFolder(file, cache.folder) || section == nullptr || key == nullptr || outSize == 0)
      return platform::ReadProfileValue(section, key, defaultValue, out, outSize, file.c_str(), tooLarge);
    generation = cache.Poll();
    name.reserve(file.size() + 64);
    name.append(file).append(1, '\0').append(section).append(1, '\0').append(key).append(1, '\0');
    if (defaultValue != nullptr) name.append(defaultValue);
    name.append(1, '\0').append(std::to_string(outSize));
    auto kept = cache.reads.find(name);
    if (kept != cache.reads.end() && kept->second.generation == generation) {
      std::memcpy(out, kept->second.value.c_str(), kept->second.value.size() + 1);
      return kept->second.copied;
    }
  }
  // The file is read outside the cache's mutex; a change meanwhile moves the
  // generation on, and the next read reads again.
  bool refused = false;
  const uint32_t copied = platform::ReadProfileValue(section, key, defaultValue, out, outSize, file.c_str(), &refused);
  if (refused) {
    *tooLarge = true;
    return copied;
  }
  std::lock_guard<std::mutex> guard(cache.mutex);
  if (cache.reads.size() >= kMaxKept) cache.reads.clear();
  cache.reads[name] = Read{generation, copied, std::string(out, strnlen(out, outSize))};
  return copied;
}

}  // namespace zep
