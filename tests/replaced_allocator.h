// Replaces the global allocator of a test program: every form of operator new
// goes to TestAllocate, which the program defines (it may count or fail), and
// every operator delete to free. Include it in exactly one file of a program.
#pragma once

#include <cstdlib>
#include <new>

void* TestAllocate(size_t size);

void* operator new(size_t size) { return TestAllocate(size); }
void* operator new[](size_t size) { return TestAllocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return TestAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  try {
    return TestAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
