#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/reentrant_rw_lock.h"
#include "host_support/thread_cpu_time.h"
#include "platform/clock.h"
#include "test_support.h"

namespace zep {
namespace {

using namespace std::chrono_literals;

void* FailingAllocator(size_t) { return nullptr; }

// A thread that runs steps on request, so a test can order operations across threads.
class Actor {
 public:
  ~Actor() {
    Run([] {}, false);
    stop_ = true;
    thread_.join();
  }
  // Starts the step; with wait, returns once it is done.
  void Run(std::function<void()> step, bool wait = true) {
    done_ = false;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      step_ = std::move(step);
    }
    pending_ = true;
    if (wait) {
      EXPECT_TRUE(test::Eventually([this] { return done_.load(); }, 2s));
    }
  }
  bool Done() const { return done_.load(); }

 private:
  std::mutex mutex_;
  std::function<void()> step_;
  std::atomic<bool> pending_{false}, done_{true}, stop_{false};
  std::thread thread_{[this] {
    while (!stop_) {
      if (!pending_.exchange(false)) {
        std::this_thread::sleep_for(100us);
        continue;
      }
      std::unique_lock<std::mutex> guard(mutex_);
      std::function<void()> step = step_;
      guard.unlock();
      step();
      done_ = true;
    }
  }};
};

// Holders, readers, writers and waiting readers, and the events kept.
std::string State(ReentrantRwLock& lock) {
  const auto s = lock.Inspect();
  return std::to_string(s.holders) + "/" + std::to_string(s.readerCount) + "/" + std::to_string(s.writerCount) + "/" +
         std::to_string(s.waitingReaderCount) + (s.hasWriterEvent ? " writer event" : "") +
         (s.hasReaderEvent ? " reader event" : "");
}

// Nobody holds or waits, and no event is kept.
void ExpectIdle(ReentrantRwLock& lock) { EXPECT_EQ("0/0/0/0", State(lock)); }

TEST(ReentrantRwLock, UncontendedUseCreatesNoEvents) {
  ReentrantRwLock lock;
  EXPECT_EQ(1, lock.LockShared());
  EXPECT_EQ(1, lock.LockShared());
  EXPECT_EQ(1, lock.LockExclusive());
  EXPECT_EQ("1/0/1/0", State(lock));
  lock.UnlockExclusive();
  EXPECT_EQ("1/1/0/0", State(lock));
  lock.UnlockShared();
  lock.UnlockShared();
  ExpectIdle(lock);
  EXPECT_EQ(1, lock.Inspect().holderCapacity);  // the holder table never shrinks
  {
    ExclusiveLockGuard exclusive(&lock);
    SharedLockGuard shared(&lock);
    EXPECT_TRUE(exclusive.Owned() && shared.Owned());
    EXPECT_EQ(1, lock.Inspect().holders);
  }
  ExpectIdle(lock);  // guards release at scope end
  EXPECT_FALSE(SharedLockGuard(nullptr).Owned());
}

TEST(ReentrantRwLock, NestedSharedPassesAWaitingWriter) {
  ReentrantRwLock lock;
  Actor reader, writer;
  reader.Run([&] { lock.LockShared(); });
  writer.Run([&] { lock.LockExclusive(); }, false);
  ASSERT_TRUE(test::Eventually([&] { return lock.Inspect().writerCount == 1; }, 2s));
  reader.Run([&] { lock.LockShared(); });  // returns at once despite the waiting writer
  reader.Run([&] { lock.UnlockShared(); });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(writer.Done());
  reader.Run([&] { lock.UnlockShared(); });
  ASSERT_TRUE(test::Eventually([&] { return writer.Done(); }, 2s));
  EXPECT_FALSE(lock.Inspect().hasReaderEvent);
  writer.Run([&] { lock.UnlockExclusive(); });
  ExpectIdle(lock);
}

TEST(ReentrantRwLock, DowngradeKeepsWaitingWriterWaiting) {
  ReentrantRwLock lock;
  Actor owner, writer;
  owner.Run([&] {
    lock.LockExclusive();
    lock.LockShared();
  });
  writer.Run([&] { lock.LockExclusive(); }, false);
  ASSERT_TRUE(test::Eventually([&] { return lock.Inspect().writerCount == 2; }, 2s));
  owner.Run([&] { lock.UnlockExclusive(); });
  EXPECT_EQ(1u, lock.Inspect().readerCount);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(writer.Done());
  owner.Run([&] { lock.UnlockShared(); });
  ASSERT_TRUE(test::Eventually([&] { return writer.Done(); }, 2s));
  writer.Run([&] { lock.UnlockExclusive(); });
  ExpectIdle(lock);
}

TEST(ReentrantRwLock, TwoReadersUpgradingDoNotDeadlock) {
  ReentrantRwLock lock;
  Actor first, second;
  std::atomic<int> order{0};
  int firstGot = 0, secondGot = 0;
  first.Run([&] { lock.LockShared(); });
  second.Run([&] { lock.LockShared(); });
  first.Run([&] { lock.LockExclusive(), firstGot = ++order; }, false);
  // The first gives up its reader place while it waits.
  ASSERT_TRUE(test::Eventually([&] { return lock.Inspect().readerCount == 1; }, 2s));
  second.Run([&] { lock.LockExclusive(), secondGot = ++order; });
  EXPECT_EQ(1, secondGot);
  EXPECT_FALSE(first.Done());
  const auto release = [&] {
    lock.UnlockExclusive();
    lock.UnlockShared();
  };
  second.Run(release);
  ASSERT_TRUE(test::Eventually([&] { return first.Done(); }, 2s));
  EXPECT_EQ(2, firstGot);
  first.Run(release);
  ExpectIdle(lock);
}

TEST(ReentrantRwLock, NestedExclusiveAdmitsOthersOnlyAfterLastRelease) {
  ReentrantRwLock lock;
  Actor owner, other;
  owner.Run([&] {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(1, lock.LockExclusive());
  });
  other.Run([&] { lock.LockShared(); }, false);
  for (int i = 0; i < 2; ++i) {
    owner.Run([&] { lock.UnlockExclusive(); });
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(other.Done());
  }
  owner.Run([&] { lock.UnlockExclusive(); });
  ASSERT_TRUE(test::Eventually([&] { return other.Done(); }, 2s));
  other.Run([&] { lock.UnlockShared(); });
  ExpectIdle(lock);
}

// Unlocks of a level the thread does not hold change nothing: from a thread
// that holds nothing, a reader's exclusive unlock, a writer's shared unlock
// (which would otherwise leak the lock).
TEST(ReentrantRwLock, UnpairedUnlocksChangeNothing) {
  ReentrantRwLock lock;
  Actor holder;
  holder.Run([&] { lock.LockShared(); });
  lock.UnlockShared();
  lock.UnlockExclusive();
  EXPECT_EQ("1/1/0/0", State(lock));
  holder.Run([&] { lock.UnlockExclusive(); });
  EXPECT_EQ(1u, lock.Inspect().readerCount);
  holder.Run([&] { lock.UnlockShared(); });
  ExpectIdle(lock);
  ASSERT_EQ(1, lock.LockExclusive());
  lock.UnlockShared();
  EXPECT_EQ("1/0/1/0", State(lock));
  lock.UnlockExclusive();
  ExpectIdle(lock);
}

TEST(ReentrantRwLock, NewReaderWaitsForHoldingAndWaitingWriters) {
  ReentrantRwLock lock;
  Actor writer1, writer2, reader;
  writer1.Run([&] { lock.LockExclusive(); });
  writer2.Run([&] { lock.LockExclusive(); }, false);
  ASSERT_TRUE(test::Eventually([&] { return lock.Inspect().writerCount == 2; }, 2s));
  reader.Run([&] { lock.LockShared(); }, false);
  ASSERT_TRUE(test::Eventually([&] { return lock.Inspect().waitingReaderCount == 1; }, 2s));
  writer1.Run([&] { lock.UnlockExclusive(); });
  ASSERT_TRUE(test::Eventually([&] { return writer2.Done(); }, 2s));
  EXPECT_FALSE(reader.Done());
  writer2.Run([&] { lock.UnlockExclusive(); });
  ASSERT_TRUE(test::Eventually([&] { return reader.Done(); }, 2s));
  EXPECT_EQ("1/1/0/0", State(lock));
  reader.Run([&] { lock.UnlockShared(); });
}

// A thread whose holder record cannot be stored is refused, and a guard of a
// refused lock releases nothing; the lock stays usable by everyone.
TEST(ReentrantRwLock, RefusesWhenHolderRecordCannotBeStored) {
  ReentrantRwLock lock;
  const BlockAllocFn original = GrowableArrayAllocator();
  GrowableArrayAllocator() = &FailingAllocator;
  EXPECT_EQ(0, lock.LockExclusive());
  EXPECT_EQ(0, lock.LockShared());
  GrowableArrayAllocator() = original;
  ExpectIdle(lock);
  ASSERT_FALSE(HasFailure());  // the other thread would wait for ever
  Actor other;
  other.Run([&] {
    EXPECT_EQ(1, lock.LockExclusive());
    lock.UnlockExclusive();
  });
  other.Run([&] { lock.LockShared(); });  // the record of capacity 1 is in use now
  GrowableArrayAllocator() = &FailingAllocator;
  {
    SharedLockGuard refused(&lock);
    EXPECT_FALSE(refused.Owned());
  }
  GrowableArrayAllocator() = original;
  EXPECT_EQ(1u, lock.Inspect().readerCount);  // the other reader still holds it
  other.Run([&] { lock.UnlockShared(); });
  EXPECT_EQ(1, lock.LockExclusive());
  lock.UnlockExclusive();
  ExpectIdle(lock);
}

// A reader that waits behind writers sleeps: after a writer's release set
// the readers' event, a writer that takes the lock at once must reset it, or
// the waiting reader spins on the set event for as long as that writer holds.
// Each hold is well over the 100 ms the reader must be seen to wait: the
// reader starts a moment after the first hold began, and may get in after it.
TEST(ReentrantRwLock, AReaderBlockedBehindWritersUsesAlmostNoProcessorTime) {
  ReentrantRwLock lock;
  std::atomic<bool> writerHolds{false};
  std::thread writer([&] {
    for (int round = 0; round < 6; ++round) {
      lock.LockExclusive();
      writerHolds = true;
      std::this_thread::sleep_for(150ms);
      lock.UnlockExclusive();  // and straight back in
    }
  });
  while (!writerHolds) std::this_thread::sleep_for(1ms);
  uint64_t used = 0;
  auto started = std::chrono::steady_clock::now();
  std::thread reader([&] {
    const uint64_t before = host::CurrentThreadCpuMicroseconds();
    lock.LockShared();
    used = host::CurrentThreadCpuMicroseconds() - before;
    lock.UnlockShared();
  });
  reader.join();
  const auto blocked =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  writer.join();
  // The reader was blocked for hundreds of milliseconds; a spinning one uses
  // about as much processor time as it waited.
  EXPECT_GE(blocked.count(), 100);
  EXPECT_LT(used, 50000u) << "blocked " << blocked.count() << " ms";
}

}  // namespace
}  // namespace zep
