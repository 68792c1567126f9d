// Replaces the global allocator of a test program: every form of operator new
// calls BeforeAllocation, which the program defines (it may count, or fail by
// throwing std::bad_alloc), and then takes the block from malloc; every
// operator delete gives it back with free. Include it in exactly one file of
// a program.
#pragma once

#include <cstdlib>
#include <new>

void BeforeAllocation();

inline void* TestAllocate(size_t size) {
  BeforeAllocation();
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* operator new(size_t size) { return TestAllocate(size); }
void* operator new[](size_t size) { return TestAllocate(size); }
inline void* TestAllocateOrNull(size_t size) noexcept {
  try {
    return TestAllocate(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new(size_t size, const std::nothrow_t&) noexcept { return TestAllocateOrNull(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return TestAllocateOrNull(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
// <new> declares the sized forms only where sized deallocation is on.
void operator delete(void* block, size_t) noexcept;
void operator delete[](void* block, size_t) noexcept;
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
