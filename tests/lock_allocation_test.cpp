// Taking and releasing an uncontended lock allocates nothing: the holder
// records are reused. This program counts the global allocator's calls.
#include <gtest/gtest.h>

#include <atomic>

#include "common/reentrant_rw_lock.h"
#include "replaced_allocator.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

void BeforeAllocation() { ++allocations; }

namespace zep {
namespace {

TEST(ReentrantRwLock, TheUncontendedPathAllocatesNothing) {
  ReentrantRwLock lock;
  lock.LockShared();  // the first holder's record and table
  lock.UnlockShared();
  const long before = allocations.load();
  for (int i = 0; i < 1000; ++i) {
    lock.LockShared();
    lock.UnlockShared();
    lock.LockExclusive();
    lock.LockShared();
    lock.UnlockShared();
    lock.UnlockExclusive();
  }
  EXPECT_EQ(before, allocations.load());
}

}  // namespace
}  // namespace zep
