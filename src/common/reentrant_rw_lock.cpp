#include "common/reentrant_rw_lock.h"

#include <new>

namespace zep {

ReentrantRwLock::ReentrantRwLock() : guard_(platform::kSpinCount) {}

ReentrantRwLock::~ReentrantRwLock() {
  for (int i = 0; i < holders_.Size(); ++i) delete holders_[i];
  holders_.SetSize(0);
  while (spare_ != nullptr) {
    LockHolder* next = spare_->nextSpare;
    delete spare_;
    spare_ = next;
  }
}

LockHolder* ReentrantRwLock::FindHolder(uintptr_t thread, int* index) {
  for (int i = 0; i < holders_.Size(); ++i) {
    if (holders_[i] != nullptr && holders_[i]->thread == thread) {
      if (index != nullptr) *index = i;
      return holders_[i];
    }
  }
  return nullptr;
}

bool ReentrantRwLock::AddHolder(uintptr_t thread, uint32_t count) {
  LockHolder* holder = spare_;
  if (holder != nullptr)
    spare_ = holder->nextSpare;
  else
    holder = new (std::nothrow) LockHolder;
  if (holder == nullptr) return false;
  *holder = LockHolder{thread, count, nullptr};
  if (holders_.Append(holder) < 0) {
    holder->nextSpare = spare_;
    spare_ = holder;
    return false;
  }
  return true;
}

void ReentrantRwLock::RemoveHolder(LockHolder* holder) {
  int index = holders_.IndexOf(holder);
  holders_.RemoveAt(index);
  holder->nextSpare = spare_;
  spare_ = holder;
}

// Entered and left with the guard held.
void ReentrantRwLock::WaitForShared() {
  ++waitingReaderCount_;
  if (!readerEvent_.Valid()) readerEvent_.Create(true);
  do {
    guard_.Leave();
    readerEvent_.Wait();
    guard_.Enter();
  } while (writerCount_ != 0);
  ++readerCount_;
  if (--waitingReaderCount_ == 0) readerEvent_.Close();
}

// Entered with the guard held. On success the guard is not held; on failure it is.
bool ReentrantRwLock::WaitForExclusive() {
  if (++writerCount_ == 1) readerEvent_.Reset();
  if (!writerEvent_.Valid()) writerEvent_.Create(false);
  guard_.Leave();
  // No one closes the event while this writer is counted.
  if (writerEvent_.Wait()) return true;

  guard_.Enter();
  if (--writerCount_ != 0) return false;
  writerEvent_.Close();
  if (readerCount_ == 0) {
    ++writerCount_;
    BlockWaitingReaders();
    guard_.Leave();
    return true;
  }
  readerEvent_.Signal();
  return false;
}

// Entered with the guard held by one of several readers; returns with the guard released.
bool ReentrantRwLock::UpgradeWithWait() {
  --readerCount_;
  if (WaitForExclusive()) return true;
  bool upgraded = false;
  if (writerCount_ != 0) {
    WaitForShared();
    if (readerCount_ == 1) {
      readerCount_ = 0;
      writerCount_ = 1;
      BlockWaitingReaders();
      upgraded = true;
    }
  } else {
    ++readerCount_;
  }
  guard_.Leave();
  return upgraded;
}

// A writer now holds or waits: readers that wait must block again, not find
// the event still set from the last writer's release and spin on it.
void ReentrantRwLock::BlockWaitingReaders() {
  if (writerCount_ != 0) readerEvent_.Reset();
}

// No writer holds or waits any more: drop the writer event and release the readers.
void ReentrantRwLock::WakeAfterLastWriter() {
  writerEvent_.Close();
  readerEvent_.Signal();
}

int ReentrantRwLock::LockShared() {
  const uintptr_t self = platform::CurrentThreadToken();
  guard_.Enter();
  if (LockHolder* holder = FindHolder(self)) {
    guard_.Leave();
    holder->count += 1;
    return 1;
  }
  if (writerCount_ != 0)
    WaitForShared();
  else
    ++readerCount_;
  if (!AddHolder(self, 1)) {
    // Without its record the thread could never release the lock: refuse.
    if (--readerCount_ == 0) writerEvent_.Signal();
    guard_.Leave();
    return 0;
  }
  guard_.Leave();
  return 1;
}

void ReentrantRwLock::UnlockShared() {
  const uintptr_t self = platform::CurrentThreadToken();
  guard_.Enter();
  LockHolder* holder = FindHolder(self);
  if (holder == nullptr) {
    guard_.Leave();
    return;
  }
  // A thread that holds only exclusive access has no shared level to give
  // back: taking one would turn kExclusiveStep into kSharedMask and leak the lock.
  if ((holder->count & kSharedMask) == 0) {
    guard_.Leave();
    return;
  }
  holder->count -= 1;
  if (holder->count == 0) {
    RemoveHolder(holder);
    if (--readerCount_ == 0) writerEvent_.Signal();
  }
  guard_.Leave();
}

int ReentrantRwLock::LockExclusive() {
  const uintptr_t self = platform::CurrentThreadToken();
  guard_.Enter();
  if (LockHolder* holder = FindHolder(self)) {
    if (holder->count >= kExclusiveStep) {
      guard_.Leave();
      holder->count += kExclusiveStep;
      return 1;
    }
    if (readerCount_ == 1) {
      readerCount_ = 0;
      ++writerCount_;
      BlockWaitingReaders();
      guard_.Leave();
      holder->count += kExclusiveStep;
      return 1;
    }
    if (!UpgradeWithWait()) return 0;
    holder->count += kExclusiveStep;
    return 1;
  }

  if (readerCount_ != 0 || writerCount_ != 0) {
    if (!WaitForExclusive()) {
      guard_.Leave();
      return 0;
    }
    guard_.Enter();
  } else {
    ++writerCount_;
    BlockWaitingReaders();
  }
  if (!AddHolder(self, kExclusiveStep)) {
    // Give the access back as the last unlock would, then refuse.
    if (--writerCount_ != 0)
      writerEvent_.Signal();
    else
      WakeAfterLastWriter();
    guard_.Leave();
    return 0;
  }
  guard_.Leave();
  return 1;
}

void ReentrantRwLock::UnlockExclusive() {
  const uintptr_t self = platform::CurrentThreadToken();
  guard_.Enter();
  LockHolder* holder = holders_.Size() == 0 ? nullptr : FindHolder(self);
  if (holder == nullptr || holder->count < kExclusiveStep) {
    guard_.Leave();
    return;
  }
  holder->count -= kExclusiveStep;
  if (holder->count != 0) {
    if (holder->count >= kExclusiveStep) {
      guard_.Leave();
      return;
    }
    // Downgrade: the thread stays a reader.
    ++readerCount_;
    if (--writerCount_ != 0) {
      guard_.Leave();
      return;
    }
  } else {
    RemoveHolder(holder);
    if (--writerCount_ != 0) {
      writerEvent_.Signal();
      guard_.Leave();
      return;
    }
  }
  WakeAfterLastWriter();
  guard_.Leave();
}

void ReentrantRwLock::ForgetOtherThreads() {
  // The other threads' records and waits are gone with them; their events
  // may be mid-use by a thread that is not here, and are left as they are.
  const uintptr_t self = platform::CurrentThreadToken();
  LockHolder* own = nullptr;
  for (int i = holders_.Size() - 1; i >= 0; --i) {
    LockHolder* holder = holders_[i];
    if (holder != nullptr && holder->thread == self && own == nullptr)
      own = holder;
    else
      RemoveHolder(holder);
  }
  writerCount_ = own != nullptr && own->count >= kExclusiveStep ? 1 : 0;
  readerCount_ = own != nullptr && own->count < kExclusiveStep ? 1 : 0;
  waitingReaderCount_ = 0;
  writerEvent_.Abandon();
  readerEvent_.Abandon();
}

ReentrantRwLock::Snapshot ReentrantRwLock::Inspect() {
  guard_.Enter();
  Snapshot snapshot{writerCount_,        readerCount_,         waitingReaderCount_, holders_.Size(),
                    holders_.Capacity(), writerEvent_.Valid(), readerEvent_.Valid()};
  guard_.Leave();
  return snapshot;
}

}  // namespace zep
