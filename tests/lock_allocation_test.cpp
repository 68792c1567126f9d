// Taking and releasing an uncontended lock allocates nothing: the holder
// records are reused. This program counts the global allocator's calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "common/reentrant_rw_lock.h"

namespace {
std::atomic<long> allocations{0};

void* Allocate(size_t size) {
  ++allocations;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

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
