#include "common/module_locks.h"

namespace zep {

// Never destroyed: a host may call in from an atexit handler, a global
// destructor or a thread that runs on while the process exits, after this
// library's own destructors have run.
ReentrantRwLock& SettingsLock() {
  static ReentrantRwLock* lock = new ReentrantRwLock;
  return *lock;
}

ReentrantRwLock& InstanceLock() {
  static ReentrantRwLock* lock = new ReentrantRwLock;
  return *lock;
}

namespace {
// Both are built while the library loads, before any call.
[[maybe_unused]] const bool builtAtLoad = (SettingsLock(), InstanceLock(), true);
}  // namespace

}  // namespace zep
