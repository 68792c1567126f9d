// Thread, process and synchronisation primitives of the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zep::platform {

// A mutual-exclusion object that spins before it blocks (a Windows critical
// section on Windows). Not copyable; lives at a fixed address.
class CriticalSection {
 public:
  explicit CriticalSection(unsigned spinCount);
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();

 private:
  alignas(16) unsigned char storage_[64];
};

// A mutex for std::lock_guard, on a CriticalSection: it keeps nothing per
// thread. (A std::mutex of the MinGW build's thread library gives each
// thread that ever waits on one a handle and a record of its own.)
class Mutex {
 public:
  Mutex() : section_(400) {}
  void lock() { section_.Enter(); }
  void unlock() { section_.Leave(); }

 private:
  CriticalSection section_;
};

// An unnamed event, initially not signalled. Auto-reset events release one
// waiter per signal; manual-reset events stay signalled until reset.
using EventHandle = void*;
EventHandle CreateUnnamedEvent(bool manualReset);
bool SignalEvent(EventHandle event);
bool ResetEvent(EventHandle event);
// Waits without time-out; false when the wait failed.
bool WaitForEvent(EventHandle event);
void CloseEvent(EventHandle event);

// The system's number of the calling thread, as logs show it.
uint32_t CurrentThreadId();
// Tells the calling thread from every other live thread, without a system
// call and without anything kept per thread.
uintptr_t CurrentThreadToken();
uint32_t CurrentProcessId();

// Zero-filled block of the process's global heap; null on failure.
void* GlobalAllocZeroed(size_t bytes);
void GlobalFreeBlock(void* block);

}  // namespace zep::platform
