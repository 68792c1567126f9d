// Critical sections: the lock under every lock of the module.
#pragma once

#include <cstddef>

namespace zep::platform {

struct CriticalSectionList;

// Spins before a thread blocks on a held lock: the count the service's own
// locks have always used, kept on purpose.
constexpr unsigned kSpinCount = 400;

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
  friend struct CriticalSectionList;
  // The system's lock lives in the object itself: making a lock allocates
  // nothing, so locks can be made during start-up and exit alike.
  alignas(16) unsigned char storage_[64];
};

// A mutex for std::lock_guard, on a CriticalSection: it keeps nothing per
// thread. (A std::mutex of the MinGW build's thread library gives each
// thread that ever waits on one a handle and a record of its own.)
class Mutex {
 public:
  Mutex() : section_(kSpinCount) {}
  void lock() { section_.Enter(); }
  void unlock() { section_.Leave(); }

 private:
  CriticalSection section_;
};

// What the module's upper layers do around a fork (POSIX): prepare takes
// their locks so that no thread is inside what they guard, parent gives them
// back, child gives them back as well, forgetting the holds of threads that
// the child does not have. Around those, every critical section is held
// through the fork and made anew in the child. Windows has no fork: the
// handlers never run there. Registered while the library loads; prepare
// handlers run last registered first, the others in order; any may be null.
struct ForkHandlers {
  void (*prepare)();
  void (*parent)();
  void (*child)();
};
void RegisterForkHandlers(const ForkHandlers& handlers);

}  // namespace zep::platform
