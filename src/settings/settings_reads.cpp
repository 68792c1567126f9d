#include "settings/settings_reads.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/cycle_counter.h"
#include "platform/file_stamp.h"
#include "platform/thread_identity.h"

namespace zep {

namespace {

// Bounds on what is kept; the module reads few files and keys.
constexpr size_t kMaxFiles = 64;
constexpr uint32_t kMaxReads = 512;

// Whether a file may have changed between two looks, from its stamp. Used by
// one thread at a time.
class StampCheck {
 public:
  // True when the file may have changed since the previous look, and at the
  // first; true too when the system could not tell, or while the stamp has
  // not settled. now is the module's monotonic clock.
  bool Changed(const char* path, uint64_t now) {
    platform::FileStamp stamp;
    const bool read = platform::ReadFileStamp(path, &stamp);
    const bool same = read && known_ && stamp == stamp_;
    const bool changed = !same || !settled_;
    if (!same) seenAt_ = now;
    known_ = read;
    stamp_ = stamp;
    // Counted on the module's own clock from when the stamp was first seen:
    // a stamp dated ahead of the wall clock settles as any other.
    settled_ = read && (!stamp.exists || now - seenAt_ >= kStampSettleNanoseconds);
    return changed;
  }
  // The next look answers true.
  void Forget() { known_ = false; }

 private:
  platform::FileStamp stamp_;
  uint64_t seenAt_ = 0;
  bool known_ = false;
  bool settled_ = false;
};

// Blocks that readers may still be looking at when they are replaced: freed
// only once no reader can hold them (see Reclaimer).
struct Retired {
  Retired* nextRetired = nullptr;
};

// One kept read: what was asked and what it gave. All but validFor is fixed
// before the read is published. The texts follow the object in its block.
struct KeptRead : Retired {
  uint64_t hash = 0;
  // The latest version of the file the value is known to hold for.
  std::atomic<uint64_t> validFor{0};
  uint32_t outSize = 0;
  uint32_t copied = 0;
  uint32_t valueLength = 0;
  bool hasDefault = false;
  const char* section = nullptr;
  const char* key = nullptr;
  const char* defaultValue = nullptr;
  const char* value = nullptr;
};

// A file's kept reads: an open-addressing table by hash, never changed once
// published.
struct KeptReads : Retired {
  uint32_t count = 0;
  uint32_t mask = 0;  // slots - 1
  KeptRead** Slots() { return reinterpret_cast<KeptRead**>(this + 1); }
  KeptRead* const* Slots() const { return reinterpret_cast<KeptRead* const*>(this + 1); }
};

struct ReadQuery {
  const char* section;
  const char* key;
  const char* defaultValue;
  uint32_t outSize;
  uint64_t hash;
};

uint64_t HashRead(const char* section, const char* key, const char* defaultValue, uint32_t outSize) {
  // FNV-1a: the texts are the module's own, nothing to defend against.
  uint64_t hash = 14695981039346656037ull ^ outSize;
  const auto mix = [&hash](const char* text) {
    for (; *text != '\0'; ++text) hash = (hash ^ static_cast<unsigned char>(*text)) * 1099511628211ull;
    hash = (hash ^ 0x100) * 1099511628211ull;  // a separator no byte equals
  };
  mix(section);
  mix(key);
  if (defaultValue != nullptr) mix(defaultValue);
  return hash;
}

bool Matches(const KeptRead& kept, const ReadQuery& query) {
  if (kept.hash != query.hash || kept.outSize != query.outSize) return false;
  if (kept.hasDefault != (query.defaultValue != nullptr)) return false;
  if (std::strcmp(kept.section, query.section) != 0 || std::strcmp(kept.key, query.key) != 0) return false;
  return query.defaultValue == nullptr || std::strcmp(kept.defaultValue, query.defaultValue) == 0;
}

KeptRead* Find(const KeptReads* reads, const ReadQuery& query) {
  if (reads == nullptr) return nullptr;
  KeptRead* const* slots = reads->Slots();
  for (uint32_t at = static_cast<uint32_t>(query.hash) & reads->mask; slots[at] != nullptr; at = (at + 1) & reads->mask)
    if (Matches(*slots[at], query)) return slots[at];
  return nullptr;
}

void Insert(KeptReads* reads, KeptRead* read) {
  KeptRead** slots = reads->Slots();
  uint32_t at = static_cast<uint32_t>(read->hash) & reads->mask;
  while (slots[at] != nullptr) at = (at + 1) & reads->mask;
  slots[at] = read;
  ++reads->count;
}

// Room for count reads, at most half the slots used; null without memory.
KeptReads* MakeKeptReads(uint32_t count) {
  uint32_t slots = 8;
  while (slots < count * 2) slots *= 2;
  void* block = ::operator new(sizeof(KeptReads) + slots * sizeof(KeptRead*), std::nothrow);
  if (block == nullptr) return nullptr;
  auto* reads = new (block) KeptReads;
  reads->mask = slots - 1;
  std::memset(reads->Slots(), 0, slots * sizeof(KeptRead*));
  return reads;
}

KeptRead* MakeKeptRead(const ReadQuery& query, const char* value, uint32_t copied, uint64_t version) {
  const size_t section = std::strlen(query.section) + 1, key = std::strlen(query.key) + 1;
  const size_t fallback = query.defaultValue != nullptr ? std::strlen(query.defaultValue) + 1 : 0;
  const size_t length = strnlen(value, query.outSize - 1);
  void* block = ::operator new(sizeof(KeptRead) + section + key + fallback + length + 1, std::nothrow);
  if (block == nullptr) return nullptr;
  auto* read = new (block) KeptRead;
  char* text = reinterpret_cast<char*>(read + 1);
  const auto place = [&text](const char* from, size_t size) {
    std::memcpy(text, from, size);
    text[size - 1] = '\0';
    const char* placed = text;
    text += size;
    return placed;
  };
  read->hash = query.hash;
  read->validFor.store(version, std::memory_order_relaxed);
  read->outSize = query.outSize;
  read->copied = copied;
  read->valueLength = static_cast<uint32_t>(length);
  read->hasDefault = query.defaultValue != nullptr;
  read->section = place(query.section, section);
  read->key = place(query.key, key);
  read->defaultValue = fallback != 0 ? place(query.defaultValue, fallback) : nullptr;
  read->value = place(value, length + 1);
  return read;
}

// Frees retired blocks once no reader can be looking at them. A reader counts
// itself in on one of a few counters, chosen by its stack address so that
// threads seldom share one, under the parity of the epoch. A writer that
// retires blocks turns the epoch and frees them once every counter of the
// old parity has been seen at zero: a reader counted under the old parity
// may hold them; one counted under the new one loaded the set after they
// were unpublished. Until then they wait for a later write, never for a
// reader.
class Reclaimer {
 public:
  class Reader {
   public:
    explicit Reader(Reclaimer& reclaimer) {
      Stripe& stripe = reclaimer.stripes_[StripeOf(this)];
      for (;;) {
        const uint64_t epoch = reclaimer.epoch_.load();
        counter_ = &stripe.readers[epoch & 1];
        counter_->fetch_add(1);
        // Counted under the epoch that stands: a writer that turns it later
        // waits for this count.
        if (reclaimer.epoch_.load() == epoch) return;
        counter_->fetch_sub(1, std::memory_order_release);
      }
    }
    ~Reader() { counter_->fetch_sub(1, std::memory_order_release); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

   private:
    std::atomic<uint64_t>* counter_;
  };

  // Writers hold this while they publish and retire.
  platform::Mutex& Mutex() { return mutex_; }

  // Called with the mutex held, after the block was unpublished.
  void Retire(Retired* block) {
    block->nextRetired = pending_;
    pending_ = block;
  }

  // Called with the mutex held.
  void Collect() {
    if (waiting_ != nullptr) {
      if (!Drained((epoch_.load() - 1) & 1)) return;
      Free(waiting_);
      waiting_ = nullptr;
    }
    if (pending_ == nullptr) return;
    waiting_ = pending_;
    pending_ = nullptr;
    const uint64_t old = epoch_.fetch_add(1);
    if (!Drained(old & 1)) return;
    Free(waiting_);
    waiting_ = nullptr;
  }

  // In a child forked without exec: the counts of the parent's other
  // threads, which the child does not have, are dropped.
  void ForgetReaders() {
    for (Stripe& stripe : stripes_)
      for (auto& readers : stripe.readers) readers.store(0);
  }

 private:
  static constexpr size_t kStripes = 32;
  struct alignas(64) Stripe {
    std::atomic<uint64_t> readers[2] = {};
  };

  static size_t StripeOf(const void* stackAddress) {
    // Threads' stacks lie megabytes apart; the pages of one stack hash alike.
    const uint64_t page = reinterpret_cast<uintptr_t>(stackAddress) >> 16;
    return static_cast<size_t>((page * 0x9E3779B97F4A7C15ull) >> 59) % kStripes;
  }

  bool Drained(uint64_t parity) const {
    for (const Stripe& stripe : stripes_)
      if (stripe.readers[parity].load() != 0) return false;
    return true;
  }

  static void Free(Retired* block) {
    while (block != nullptr) {
      Retired* next = block->nextRetired;
      ::operator delete(block);
      block = next;
    }
  }

  platform::Mutex mutex_;
  std::atomic<uint64_t> epoch_{0};
  Stripe stripes_[kStripes];
  Retired* waiting_ = nullptr;  // unpublished before the epoch last turned
  Retired* pending_ = nullptr;  // unpublished since
};

}  // namespace

struct FileWatch {
  explicit FileWatch(const char* name, size_t length) : path(name, length) {}

  const std::string path;
  // What readers look at; the checker writes them once per look.
  std::atomic<uint64_t> writes{0};      // SettingsWrites() at the last look
  std::atomic<uint64_t> version{0};     // 0: never looked at
  std::atomic<uint64_t> validUntil{0};  // monotonic nanoseconds
  std::atomic<uint64_t> checkedAt{0};   // cycle count of the last look
  std::atomic<const KeptReads*> reads{nullptr};
  std::atomic<bool> forget{false};
  // The process whose thread is looking, 0 when none. A child forked while
  // its parent's thread was looking finds the parent's number here, and
  // takes over: that thread is not in the child.
  std::atomic<uint32_t> checker{0};
  StampCheck check;  // the checker's own
};

namespace {

struct Registry {
  Registry() : steadyCycles(platform::CycleCounterIsSteady()) {}

  Reclaimer reclaimer;  // its mutex also guards the making of watches
  std::atomic<FileWatch*> watches[kMaxFiles] = {};
  std::atomic<size_t> count{0};
  std::atomic<uint64_t> lastVersion{0};
  // The cycle counter against the monotonic clock: how many cycles a window
  // lasts (a tenth less, for the rate's error), 0 while not known. A look
  // within it takes no call into the system.
  const bool steadyCycles;
  std::atomic<uint64_t> baseCycles{0};
  std::atomic<uint64_t> baseNanoseconds{0};
  std::atomic<uint64_t> windowCycles{0};
};

// On a line of its own: every look reads it, and only writes change it.
alignas(64) std::atomic<uint64_t> writes{0};

// Never destroyed: a host may read settings while the process exits.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// Made while the library loads, before any thread can call in; a child
// forked without exec drops the read counts of its parent's threads.
[[maybe_unused]] const bool madeAtLoad =
    (TheRegistry(), platform::RegisterForkHandlers({nullptr, nullptr, [] { TheRegistry().reclaimer.ForgetReaders(); }}),
     true);

uint64_t NewVersion(Registry& registry) {
  uint64_t version = registry.lastVersion.fetch_add(1) + 1;
  // The log keeps the low half of a version beside its mask: never 0 there.
  if (static_cast<uint32_t>(version) == 0) version = registry.lastVersion.fetch_add(1) + 1;
  return version;
}

void LearnCycleRate(Registry& registry, uint64_t nanoseconds, uint64_t cycles) {
  if (!registry.steadyCycles || cycles == 0) return;
  uint64_t base = 0;
  if (registry.baseCycles.compare_exchange_strong(base, cycles)) {
    registry.baseNanoseconds.store(nanoseconds, std::memory_order_release);
    return;
  }
  const uint64_t since = registry.baseNanoseconds.load(std::memory_order_acquire);
  if (since == 0 || nanoseconds - since < 10 * kStampCheckNanoseconds || cycles <= base) return;
  const double perNanosecond = static_cast<double>(cycles - base) / static_cast<double>(nanoseconds - since);
  registry.windowCycles.store(static_cast<uint64_t>(perNanosecond * kStampCheckNanoseconds * 0.9),
                              std::memory_order_relaxed);
}

bool WithinWindow(const Registry& registry, const FileWatch& watch) {
  const uint64_t window = registry.windowCycles.load(std::memory_order_relaxed);
  if (window != 0) {
    const uint64_t elapsed = platform::CycleCount() - watch.checkedAt.load(std::memory_order_acquire);
    if (elapsed < window) return true;
    if (elapsed < uint64_t{1} << 63) return false;
    // A counter a little behind the checker's, on another core: the clock decides.
  }
  return platform::MonotonicNanoseconds() < watch.validUntil.load(std::memory_order_acquire);
}

uint64_t Look(Registry& registry, FileWatch& watch, uint64_t written) {
  const uint32_t self = platform::CurrentProcessId();
  uint32_t holder = 0;
  if (!watch.checker.compare_exchange_strong(holder, self, std::memory_order_acquire)) {
    if (holder == self || !watch.checker.compare_exchange_strong(holder, self, std::memory_order_acquire)) {
      // Another thread looks now. Its version will do, unless it may predate
      // a write of this process.
      if (watch.writes.load(std::memory_order_acquire) == written) return watch.version.load(std::memory_order_acquire);
      return 0;
    }
    watch.check.Forget();
  }
  // The clock is read before the stamp: a change after it shows at a later look.
  const uint64_t now = platform::MonotonicNanoseconds();
  const uint64_t cycles = platform::CycleCount();
  if (watch.forget.exchange(false, std::memory_order_acq_rel)) watch.check.Forget();
  uint64_t version = watch.version.load(std::memory_order_relaxed);
  if (watch.check.Changed(watch.path.c_str(), now) || watch.writes.load(std::memory_order_relaxed) != written ||
      version == 0)
    version = NewVersion(registry);
  watch.version.store(version, std::memory_order_release);
  watch.writes.store(written, std::memory_order_release);
  watch.validUntil.store(now + kStampCheckNanoseconds, std::memory_order_release);
  watch.checkedAt.store(cycles, std::memory_order_release);
  LearnCycleRate(registry, now, cycles);
  watch.checker.store(0, std::memory_order_release);
  return version;
}

uint32_t ReadNow(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                 const std::string& file, platform::ProfileRead* result, ReentrantRwLock* fileLock) {
  if (fileLock == nullptr)
    return platform::ReadProfileValue(section, key, defaultValue, out, outSize, file.c_str(), result);
  SharedLockGuard guard(fileLock);
  if (guard.Owned()) return platform::ReadProfileValue(section, key, defaultValue, out, outSize, file.c_str(), result);
  if (result != nullptr) *result = platform::ProfileRead::kFailed;
  if (outSize != 0) out[0] = '\0';
  return 0;
}

void RaiseTo(std::atomic<uint64_t>& value, uint64_t version) {
  uint64_t seen = value.load(std::memory_order_relaxed);
  while (seen < version && !value.compare_exchange_weak(seen, version, std::memory_order_release)) {
  }
}

// Keeps what a read made at the version gave, replacing the file's set when
// the value is new. A read that failed gives the last value known instead,
// when there is one.
void Keep(Registry& registry, FileWatch& watch, const ReadQuery& query, uint64_t version, platform::ProfileRead outcome,
          char* out, uint32_t* copied) {
  Reclaimer& reclaimer = registry.reclaimer;
  std::lock_guard<platform::Mutex> guard(reclaimer.Mutex());
  const KeptReads* current = watch.reads.load(std::memory_order_relaxed);
  KeptRead* known = Find(current, query);
  if (known != nullptr) {
    const bool same = known->copied == *copied && std::strncmp(known->value, out, query.outSize) == 0;
    if (outcome == platform::ProfileRead::kFailed || same) {
      std::memcpy(out, known->value, known->valueLength + 1);
      *copied = known->copied;
      RaiseTo(known->validFor, version);
      return;
    }
    // Kept already from a later look.
    if (known->validFor.load(std::memory_order_relaxed) > version) return;
  }
  KeptRead* read = MakeKeptRead(query, out, *copied, version);
  if (read == nullptr) return;
  const uint32_t count = (current != nullptr ? current->count : 0) + (known != nullptr ? 0 : 1);
  // Past the bound the set starts again, with this read alone.
  const bool restart = count > kMaxReads;
  KeptReads* next = MakeKeptReads(restart ? 1 : count);
  if (next == nullptr) {
    ::operator delete(read);
    return;
  }
  if (current != nullptr) {
    for (uint32_t at = 0; at <= current->mask; ++at) {
      KeptRead* kept = current->Slots()[at];
      if (kept == nullptr) continue;
      if (restart || kept == known) {
        reclaimer.Retire(kept);
      } else {
        Insert(next, kept);
      }
    }
  }
  Insert(next, read);
  watch.reads.store(next);
  if (current != nullptr) reclaimer.Retire(const_cast<KeptReads*>(current));
  reclaimer.Collect();
}

}  // namespace

void SettingsWritten() { writes.fetch_add(1, std::memory_order_acq_rel); }

uint64_t SettingsWrites() { return writes.load(std::memory_order_acquire); }

FileWatch* WatchFile(const char* path, size_t length) {
  Registry& registry = TheRegistry();
  const auto find = [&](size_t count) -> FileWatch* {
    for (size_t i = 0; i < count; ++i) {
      FileWatch* watch = registry.watches[i].load(std::memory_order_acquire);
      if (watch->path.size() == length && std::memcmp(watch->path.data(), path, length) == 0) return watch;
    }
    return nullptr;
  };
  if (FileWatch* watch = find(registry.count.load(std::memory_order_acquire))) return watch;
  std::lock_guard<platform::Mutex> guard(registry.reclaimer.Mutex());
  const size_t count = registry.count.load(std::memory_order_relaxed);
  if (FileWatch* watch = find(count)) return watch;
  if (count >= kMaxFiles) return nullptr;
  auto* watch = new (std::nothrow) FileWatch(path, length);
  if (watch == nullptr) return nullptr;
  registry.watches[count].store(watch, std::memory_order_release);
  registry.count.store(count + 1, std::memory_order_release);
  return watch;
}

uint64_t FileVersion(FileWatch& watch) {
  Registry& registry = TheRegistry();
  const uint64_t written = SettingsWrites();
  if (watch.writes.load(std::memory_order_acquire) == written && WithinWindow(registry, watch)) {
    const uint64_t version = watch.version.load(std::memory_order_acquire);
    if (version != 0) return version;
  }
  return Look(registry, watch, written);
}

void FileReadFailed(FileWatch& watch) { watch.forget.store(true, std::memory_order_release); }

uint32_t ReadProfileValueCached(const char* section, const char* key, const char* defaultValue, char* out,
                                uint32_t outSize, const std::string& file, platform::ProfileRead* result,
                                ReentrantRwLock* fileLock) {
  FileWatch* watch = section != nullptr && key != nullptr && outSize != 0 && !file.empty()
                         ? WatchFile(file.data(), file.size())
                         : nullptr;
  const uint64_t version = watch != nullptr ? FileVersion(*watch) : 0;
  if (version == 0) return ReadNow(section, key, defaultValue, out, outSize, file, result, fileLock);
  const ReadQuery query{section, key, defaultValue, outSize, HashRead(section, key, defaultValue, outSize)};
  Registry& registry = TheRegistry();
  {
    Reclaimer::Reader reader(registry.reclaimer);
    const KeptRead* kept = Find(watch->reads.load(), query);
    if (kept != nullptr && kept->validFor.load(std::memory_order_acquire) >= version) {
      std::memcpy(out, kept->value, kept->valueLength + 1);
      if (result != nullptr) *result = platform::ProfileRead::kRead;
      return kept->copied;
    }
  }
  // The file is read after its version was taken: a change from then on
  // moves the version at a later look.
  platform::ProfileRead outcome = platform::ProfileRead::kFailed;
  uint32_t copied = ReadNow(section, key, defaultValue, out, outSize, file, &outcome, fileLock);
  if (result != nullptr) *result = outcome;
  // Whatever the outcome, it stands until the file may have changed: a read
  // that failed is not made again on every call meanwhile, but once the
  // window is over, whatever the stamp says.
  if (outcome == platform::ProfileRead::kFailed) FileReadFailed(*watch);
  Keep(registry, *watch, query, version, outcome, out, &copied);
  return copied;
}

}  // namespace zep
