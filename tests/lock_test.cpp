#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/reentrant_rw_lock.h"
#include "host_support/thread_cpu_time.h"
#include "platform/clock.h"

namespace zep {
namespace {

using namespace std::chrono_literals;

// Waits (bounded) until the condition holds.
bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

// A thread that runs steps on request, so a test can order operations across threads.
void* FailingAllocator(size_t) { return nullptr; }

class Actor {
 public:
  Actor() : thread_([this] { Loop(); }) {}
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
      EXPECT_TRUE(Eventually([this] { return done_.load(); }));
    }
  }
  bool Done() const { return done_.load(); }

 private:
  void Loop() {
    while (!stop_) {
      if (!pending_) {
        std::this_thread::sleep_for(100us);
        continue;
      }
      std::function<void()> step;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        step = step_;
      }
      pending_ = false;
      step();
      done_ = true;
    }
  }
  std::mutex mutex_;
  std::function<void()> step_;
  std::atomic<bool> pending_{false};
  std::atomic<bool> done_{true};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ReentrantRwLock, UncontendedUseCreatesNoEvents) {
  ReentrantRwLock lock;
  EXPECT_EQ(1, lock.LockShared());
  EXPECT_EQ(1, lock.LockShared());
  EXPECT_EQ(1, lock.LockExclusive());
  auto state = lock.Inspect();
  EXPECT_EQ(1u, state.writerCount);
  EXPECT_EQ(0u, state.readerCount);
  EXPECT_EQ(1, state.holders);
  EXPECT_FALSE(state.hasWriterEvent);
  EXPECT_FALSE(state.hasReaderEvent);
  lock.UnlockExclusive();
  state = lock.Inspect();
  EXPECT_EQ(0u, state.writerCount);
  EXPECT_EQ(1u, state.readerCount);
  lock.UnlockShared();
  lock.UnlockShared();
  state = lock.Inspect();
  EXPECT_EQ(0, state.holders);
  EXPECT_EQ(0u, state.readerCount);
}

TEST(ReentrantRwLock, NestedSharedPassesAWaitingWriter) {
  ReentrantRwLock lock;
  Actor reader, writer;
  reader.Run([&] { lock.LockShared(); });
  writer.Run([&] { lock.LockExclusive(); }, false);
  ASSERT_TRUE(Eventually([&] { return lock.Inspect().writerCount == 1; }));
  reader.Run([&] { lock.LockShared(); });  // returns at once despite the waiting writer
  reader.Run([&] { lock.UnlockShared(); });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(writer.Done());
  reader.Run([&] { lock.UnlockShared(); });
  ASSERT_TRUE(Eventually([&] { return writer.Done(); }));
  EXPECT_FALSE(lock.Inspect().hasReaderEvent);
  writer.Run([&] { lock.UnlockExclusive(); });
  auto state = lock.Inspect();
  EXPECT_EQ(0u, state.writerCount);
  EXPECT_EQ(0, state.holders);
  EXPECT_FALSE(state.hasWriterEvent);
}

TEST(ReentrantRwLock, DowngradeKeepsWaitingWriterWaiting) {
  ReentrantRwLock lock;
  Actor owner, writer;
  owner.Run([&] {
    lock.LockExclusive();
    lock.LockShared();
  });
  writer.Run([&] { lock.LockExclusive(); }, false);
  ASSERT_TRUE(Eventually([&] { return lock.Inspect().writerCount == 2; }));
  owner.Run([&] { lock.UnlockExclusive(); });
  EXPECT_EQ(1u, lock.Inspect().readerCount);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(writer.Done());
  owner.Run([&] { lock.UnlockShared(); });
  ASSERT_TRUE(Eventually([&] { return writer.Done(); }));
  writer.Run([&] { lock.UnlockExclusive(); });
  EXPECT_EQ(0, lock.Inspect().holders);
}

TEST(ReentrantRwLock, TwoReadersUpgradingDoNotDeadlock) {
  ReentrantRwLock lock;
  Actor first, second;
  std::atomic<int> order{0};
  int firstGot = 0, secondGot = 0;
  first.Run([&] { lock.LockShared(); });
  second.Run([&] { lock.LockShared(); });
  first.Run(
      [&] {
        lock.LockExclusive();
        firstGot = ++order;
      },
      false);
  // The first gives up its reader place while it waits.
  ASSERT_TRUE(Eventually([&] { return lock.Inspect().readerCount == 1; }));
  second.Run([&] {
    lock.LockExclusive();
    secondGot = ++order;
  });
  EXPECT_EQ(1, secondGot);
  EXPECT_FALSE(first.Done());
  second.Run([&] {
    lock.UnlockExclusive();
    lock.UnlockShared();
  });
  ASSERT_TRUE(Eventually([&] { return first.Done(); }));
  EXPECT_EQ(2, firstGot);
  first.Run([&] {
    lock.UnlockExclusive();
    lock.UnlockShared();
  });
  auto state = lock.Inspect();
  EXPECT_EQ(0, state.holders);
  EXPECT_EQ(0u, state.readerCount);
  EXPECT_EQ(0u, state.writerCount);
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
  ASSERT_TRUE(Eventually([&] { return other.Done(); }));
  other.Run([&] { lock.UnlockShared(); });
  EXPECT_EQ(0, lock.Inspect().holders);
}

TEST(ReentrantRwLock, UnlockWithoutHoldingChangesNothing) {
  ReentrantRwLock lock;
  Actor holder;
  holder.Run([&] { lock.LockShared(); });
  lock.UnlockShared();
  lock.UnlockExclusive();
  auto state = lock.Inspect();
  EXPECT_EQ(1u, state.readerCount);
  EXPECT_EQ(0u, state.writerCount);
  EXPECT_EQ(1, state.holders);
  // A reader's unpaired exclusive unlock must not eat its shared level either.
  holder.Run([&] { lock.UnlockExclusive(); });
  EXPECT_EQ(1u, lock.Inspect().readerCount);
  holder.Run([&] { lock.UnlockShared(); });
  EXPECT_EQ(0, lock.Inspect().holders);
}

TEST(ReentrantRwLock, NewReaderWaitsForHoldingAndWaitingWriters) {
  ReentrantRwLock lock;
  Actor writer1, writer2, reader;
  writer1.Run([&] { lock.LockExclusive(); });
  writer2.Run([&] { lock.LockExclusive(); }, false);
  ASSERT_TRUE(Eventually([&] { return lock.Inspect().writerCount == 2; }));
  reader.Run([&] { lock.LockShared(); }, false);
  ASSERT_TRUE(Eventually([&] { return lock.Inspect().waitingReaderCount == 1; }));
  writer1.Run([&] { lock.UnlockExclusive(); });
  ASSERT_TRUE(Eventually([&] { return writer2.Done(); }));
  EXPECT_FALSE(reader.Done());
  writer2.Run([&] { lock.UnlockExclusive(); });
  ASSERT_TRUE(Eventually([&] { return reader.Done(); }));
  auto state = lock.Inspect();
  EXPECT_EQ(1u, state.readerCount);
  EXPECT_EQ(0u, state.waitingReaderCount);
  EXPECT_FALSE(state.hasReaderEvent);
  EXPECT_FALSE(state.hasWriterEvent);
  reader.Run([&] { lock.UnlockShared(); });
}

TEST(ReentrantRwLock, HolderTableGrowsInSteps) {
  ReentrantRwLock lock;
  std::vector<std::unique_ptr<Actor>> readers;
  std::vector<int> capacities;
  for (int i = 0; i < 6; ++i) {
    readers.push_back(std::make_unique<Actor>());
    readers.back()->Run([&] { lock.LockShared(); });
    capacities.push_back(lock.Inspect().holderCapacity);
  }
  EXPECT_EQ((std::vector<int>{1, 5, 5, 5, 5, 9}), capacities);
  EXPECT_EQ(6u, lock.Inspect().readerCount);
  for (auto& reader : readers) reader->Run([&] { lock.UnlockShared(); });
  EXPECT_EQ(0, lock.Inspect().holders);
  EXPECT_EQ(9, lock.Inspect().holderCapacity);  // storage never shrinks
}

TEST(ReentrantRwLock, RefusesWhenHolderRecordCannotBeStored) {
  ReentrantRwLock lock;
  const BlockAllocFn original = GrowableArrayAllocator();
  GrowableArrayAllocator() = &FailingAllocator;
  EXPECT_EQ(0, lock.LockExclusive());
  EXPECT_EQ(0, lock.LockShared());
  GrowableArrayAllocator() = original;
  auto state = lock.Inspect();
  EXPECT_EQ(0u, state.writerCount);
  EXPECT_EQ(0u, state.readerCount);
  EXPECT_EQ(0, state.holders);
  // The lock is still usable by everyone afterwards.
  Actor other;
  other.Run([&] {
    EXPECT_EQ(1, lock.LockExclusive());
    lock.UnlockExclusive();
  });
  EXPECT_EQ(1, lock.LockExclusive());
  lock.UnlockExclusive();
}

TEST(ReentrantRwLock, WritersExcludeEveryoneUnderLoad) {
  ReentrantRwLock lock;
  int value = 0;
  std::atomic<int> insideWriters{0};
  std::atomic<bool> violation{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 3 == 0) {
          lock.LockExclusive();
          if (++insideWriters != 1) violation = true;
          lock.LockShared();  // re-entrant inside exclusive
          ++value;
          lock.UnlockShared();
          --insideWriters;
          lock.UnlockExclusive();
        } else {
          lock.LockShared();
          if (insideWriters.load() != 0) violation = true;
          if (i % 7 == 0) {
            lock.LockExclusive();  // upgrade
            ++value;
            lock.UnlockExclusive();
          }
          lock.UnlockShared();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(violation.load());
  int expected = 0;
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 2000; ++i) expected += ((i + t) % 3 == 0) ? 1 : (i % 7 == 0 ? 1 : 0);
  EXPECT_EQ(expected, value);
  auto state = lock.Inspect();
  EXPECT_EQ(0, state.holders);
  EXPECT_EQ(0u, state.readerCount);
  EXPECT_EQ(0u, state.writerCount);
  EXPECT_FALSE(state.hasWriterEvent);
  EXPECT_FALSE(state.hasReaderEvent);
}

TEST(LockGuards, ReleaseAtScopeEnd) {
  ReentrantRwLock lock;
  {
    ExclusiveLockGuard exclusive(&lock);
    EXPECT_TRUE(exclusive.Owned());
    SharedLockGuard shared(&lock);
    EXPECT_TRUE(shared.Owned());
    EXPECT_EQ(1, lock.Inspect().holders);
  }
  EXPECT_EQ(0, lock.Inspect().holders);
  SharedLockGuard none(nullptr);
  EXPECT_FALSE(none.Owned());
}

// A refused lock is not released by its guard: the guard owns nothing.
TEST(LockGuards, ARefusedLockIsNotReleased) {
  ReentrantRwLock lock;
  Actor reader;
  reader.Run([&] { lock.LockShared(); });  // a record of capacity 1 now exists and is in use
  const BlockAllocFn original = GrowableArrayAllocator();
  GrowableArrayAllocator() = &FailingAllocator;
  {
    SharedLockGuard refused(&lock);
    EXPECT_FALSE(refused.Owned());
  }
  GrowableArrayAllocator() = original;
  EXPECT_EQ(1u, lock.Inspect().readerCount);  // the other reader still holds it
  reader.Run([&] { lock.UnlockShared(); });
  EXPECT_EQ(0u, lock.Inspect().readerCount);
}

// An UnlockShared from a thread that holds only exclusive access has no
// shared level to give back and must not touch its count.
TEST(ReentrantRwLock, UnpairedUnlockSharedOfAWriterIsIgnored) {
  ReentrantRwLock lock;
  ASSERT_EQ(1, lock.LockExclusive());
  lock.UnlockShared();
  auto state = lock.Inspect();
  EXPECT_EQ(1u, state.writerCount);
  EXPECT_EQ(0u, state.readerCount);
  lock.UnlockExclusive();
  state = lock.Inspect();
  EXPECT_EQ(0, state.holders);
  EXPECT_EQ(0u, state.writerCount);
  EXPECT_EQ(0u, state.readerCount);
}

// A reader that waits behind writers sleeps: after a writer's release set
// the readers' event, a writer that takes the lock at once must reset it, or
// the waiting reader spins on the set event for as long as that writer holds.
TEST(ReentrantRwLock, AReaderBlockedBehindWritersUsesAlmostNoProcessorTime) {
  ReentrantRwLock lock;
  std::atomic<bool> writerHolds{false};
  std::thread writer([&] {
    for (int round = 0; round < 6; ++round) {
      lock.LockExclusive();
      writerHolds = true;
      std::this_thread::sleep_for(100ms);
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
