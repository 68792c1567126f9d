// The module lock's nesting, as the module's own calls nest it: a command
// that would hang (a nested read behind a waiting writer, two upgrades) is
// what a host would see.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/reentrant_rw_lock.h"
#include "test_support.h"

namespace zep {
namespace {

using namespace std::chrono_literals;

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

// Nobody holds or waits.
void ExpectIdle(ReentrantRwLock& lock) {
  const auto s = lock.Inspect();
  EXPECT_EQ(0u, static_cast<uint32_t>(s.holders) + s.readerCount + s.writerCount + s.waitingReaderCount);
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

}  // namespace
}  // namespace zep
