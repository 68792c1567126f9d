#include "settings/settings_reads.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/critical_section.h"

namespace zep {

namespace {

struct Read {
  uint64_t version = 0;  // 0: nothing read yet
  uint32_t copied = 0;
  std::string value;
};

// What is known of one file: the reads made since its version last moved.
struct KeptFile {
  FileChangeCheck check;
  uint64_t checkedAt = 0;  // monotonic nanoseconds
  uint64_t writes = 0;     // SettingsWrites() when last checked
  uint64_t version = 0;
  bool checked = false;
};

// Bounds on what is kept; the module reads few files and keys.
constexpr size_t kMaxFiles = 64;
constexpr size_t kMaxReads = 4096;

struct ReadCache {
  platform::Mutex mutex;
  std::unordered_map<std::string, KeptFile> files;
  std::unordered_map<std::string, Read> reads;
  // Versions are unique across files and clears: a read kept under one never
  // matches another.
  uint64_t lastVersion = 0;

  // The file's version: moved on when it may have changed. Called with the mutex held.
  uint64_t Version(const std::string& file);
};

std::atomic<uint64_t> writes{0};

// Never destroyed: a host may read settings while the process exits.
ReadCache& Cache() {
  static ReadCache* cache = new ReadCache;
  return *cache;
}

uint64_t ReadCache::Version(const std::string& file) {
  if (files.size() >= kMaxFiles && files.find(file) == files.end()) {
    files.clear();
    reads.clear();
  }
  KeptFile& kept = files[file];
  const uint64_t now = platform::MonotonicNanoseconds();
  const uint64_t written = SettingsWrites();
  if (kept.checked && kept.writes == written && now - kept.checkedAt < kStampCheckNanoseconds) return kept.version;
  if (kept.check.Changed(file) || kept.writes != written || !kept.checked) kept.version = ++lastVersion;
  kept.checked = true;
  kept.checkedAt = now;
  kept.writes = written;
  return kept.version;
}

uint32_t ReadUnderLock(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                       const std::string& file, platform::ProfileRead* result, ReentrantRwLock& fileLock) {
  SharedLockGuard guard(&fileLock);
  if (guard.Owned()) return platform::ReadProfileValue(section, key, defaultValue, out, outSize, file.c_str(), result);
  if (result != nullptr) *result = platform::ProfileRead::kFailed;
  return 0;
}

}  // namespace

void SettingsWritten() { writes.fetch_add(1, std::memory_order_acq_rel); }

uint64_t SettingsWrites() { return writes.load(std::memory_order_acquire); }

bool FileChangeCheck::Changed(const std::string& path) {
  // The clock is read before the stamp: a write after it has a later stamp.
  const int64_t now = platform::WallClockNanoseconds();
  platform::FileStamp stamp;
  const bool read = platform::ReadFileStamp(path.c_str(), &stamp);
  const bool changed = !read || !known_ || !settled_ || stamp != stamp_;
  const int64_t newest = stamp.modified > stamp.changed ? stamp.modified : stamp.changed;
  known_ = read;
  stamp_ = stamp;
  settled_ = read && (!stamp.exists || newest <= now - kStampSettleNanoseconds);
  return changed;
}

uint32_t ReadProfileValueCached(const char* section, const char* key, const char* defaultValue, char* out,
                                uint32_t outSize, const std::string& file, platform::ProfileRead* result,
                                ReentrantRwLock& fileLock) {
  if (section == nullptr || key == nullptr || outSize == 0)
    return ReadUnderLock(section, key, defaultValue, out, outSize, file, result, fileLock);
  ReadCache& cache = Cache();
  std::string name;
  name.reserve(file.size() + 64);
  name.append(file).append(1, '\0').append(section).append(1, '\0').append(key).append(1, '\0');
  if (defaultValue != nullptr) name.append(defaultValue);
  name.append(1, '\0').append(std::to_string(outSize));
  uint64_t version = 0;
  {
    std::lock_guard<platform::Mutex> guard(cache.mutex);
    version = cache.Version(file);
    auto kept = cache.reads.find(name);
    if (kept != cache.reads.end() && kept->second.version == version) {
      std::memcpy(out, kept->second.value.c_str(), kept->second.value.size() + 1);
      if (result != nullptr) *result = platform::ProfileRead::kRead;
      return kept->second.copied;
    }
  }
  // The file is read outside the cache's mutex, after its stamp was taken: a
  // change from then on moves the version at a later check.
  platform::ProfileRead outcome = platform::ProfileRead::kFailed;
  uint32_t copied = ReadUnderLock(section, key, defaultValue, out, outSize, file, &outcome, fileLock);
  if (result != nullptr) *result = outcome;
  std::lock_guard<platform::Mutex> guard(cache.mutex);
  if (cache.reads.size() >= kMaxReads) cache.reads.clear();
  Read& kept = cache.reads[name];
  // Whatever the outcome, it stands until the file may have changed: a read
  // that failed gives the last value known, if any, and is not retried on
  // every call meanwhile.
  if (outcome == platform::ProfileRead::kFailed) {
    // Read again once the window is over, whatever the stamp says.
    auto watched = cache.files.find(file);
    if (watched != cache.files.end()) watched->second.check.Forget();
  }
  if (outcome == platform::ProfileRead::kFailed && kept.version != 0) {
    std::memcpy(out, kept.value.c_str(), kept.value.size() + 1);
    copied = kept.copied;
  } else {
    kept.copied = copied;
    kept.value.assign(out, strnlen(out, outSize));
  }
  kept.version = version;
  return copied;
}

}  // namespace zep
