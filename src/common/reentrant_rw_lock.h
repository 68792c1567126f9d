// Re-entrant reader/writer lock with upgrade and downgrade; writers first.
#pragma once

#include <cstdint>

#include "common/growable_array.h"
#include "platform/critical_section.h"
#include "platform/thread_identity.h"
#include "platform/unnamed_event.h"

namespace zep {

struct LockHolder {
  uintptr_t thread;  // platform::CurrentThreadToken()
  // Low 16 bits: shared depth; high 16 bits: exclusive depth.
  uint32_t count;
  // Next record of the lock's spare records, while this one is spare.
  LockHolder* nextSpare;
};

class ReentrantRwLock {
 public:
  // A holder's count keeps both depths in one word, as the service's lock
  // always has: one exclusive level is 0x10000, the shared levels below it.
  static constexpr uint32_t kExclusiveStep = 0x10000;
  static constexpr uint32_t kSharedMask = kExclusiveStep - 1;

  ReentrantRwLock();
  virtual ~ReentrantRwLock();
  ReentrantRwLock(const ReentrantRwLock&) = delete;
  ReentrantRwLock& operator=(const ReentrantRwLock&) = delete;

  // 1 on success; 0 only when the holder record could not be stored.
  int LockShared();
  void UnlockShared();
  // 1 on success; 0 when a wait failed or the holder record could not be stored.
  int LockExclusive();
  void UnlockExclusive();

  // In a child forked while other threads held or awaited the lock: only
  // the calling thread's hold remains, and no thread waits.
  void ForgetOtherThreads();

  struct Snapshot {
    uint32_t writerCount;
    uint32_t readerCount;
    uint32_t waitingReaderCount;
    int holders;
    int holderCapacity;
    bool hasWriterEvent;
    bool hasReaderEvent;
  };
  Snapshot Inspect();

 private:
  LockHolder* FindHolder(uintptr_t thread, int* index = nullptr);
  bool AddHolder(uintptr_t thread, uint32_t count);
  void RemoveHolder(LockHolder* holder);
  void WaitForShared();
  bool WaitForExclusive();
  bool UpgradeWithWait();
  void BlockWaitingReaders();
  void WakeAfterLastWriter();

  platform::CriticalSection guard_;
  platform::UnnamedEvent writerEvent_;
  platform::UnnamedEvent readerEvent_;
  uint32_t writerCount_ = 0;
  uint32_t readerCount_ = 0;
  uint32_t waitingReaderCount_ = 0;
  GrowableArray<LockHolder*> holders_;
  // Records of threads that released the lock, kept for the next holder, so
  // that taking an uncontended lock allocates nothing. A record's address
  // never changes while it is in use: its owner counts outside the guard.
  LockHolder* spare_ = nullptr;
};

// Guards fail closed: code guarded by a lock that was refused must not touch
// the guarded state, so callers test Owned().
class SharedLockGuard {
 public:
  explicit SharedLockGuard(ReentrantRwLock* lock) : lock_(lock) {
    if (lock_ != nullptr && lock_->LockShared() == 0) lock_ = nullptr;
  }
  ~SharedLockGuard() {
    if (lock_ != nullptr) lock_->UnlockShared();
  }
  bool Owned() const { return lock_ != nullptr; }
  SharedLockGuard(const SharedLockGuard&) = delete;
  SharedLockGuard& operator=(const SharedLockGuard&) = delete;

 private:
  ReentrantRwLock* lock_;
};

class ExclusiveLockGuard {
 public:
  explicit ExclusiveLockGuard(ReentrantRwLock* lock) : lock_(lock), owned_(lock->LockExclusive() != 0) {}
  ~ExclusiveLockGuard() {
    if (owned_) lock_->UnlockExclusive();
  }
  bool Owned() const { return owned_; }
  ExclusiveLockGuard(const ExclusiveLockGuard&) = delete;
  ExclusiveLockGuard& operator=(const ExclusiveLockGuard&) = delete;

 private:
  ReentrantRwLock* lock_;
  bool owned_;
};

}  // namespace zep
