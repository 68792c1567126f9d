// The stop event of a per-user copy: the module sets it to stop the copy,
// which waits on it. On Windows a named event that the copy creates. On POSIX
// the copy's SIGTERM: whatever the copy created would be its user's, who could
// truncate a shared semaphore under the module mapping it (SIGBUS) or plant
// one under the name of another user's copy.
#pragma once

#include <cstdint>
#include <string>

#include "platform/user_process.h"

namespace zep::platform {

// The stop event as the copy waits on it. On Windows it opens the named event,
// creating it when missing. On POSIX it blocks SIGTERM in the calling thread,
// which waits for it: made before the copy starts other threads (which then
// block it too), or else the process's own SIGTERM handling stops it.
class NamedEventListener {
 public:
  explicit NamedEventListener(const std::string& name);
  ~NamedEventListener();
  NamedEventListener(const NamedEventListener&) = delete;
  NamedEventListener& operator=(const NamedEventListener&) = delete;
  bool Valid() const { return native_ != nullptr; }
  // True when the event was set within the time.
  bool WaitSet(uint32_t milliseconds);

 private:
  struct Native;  // the event, or nothing
  Native* native_ = nullptr;
};

// Sets the stop event of the copy the module started: opens the named event
// with full access and sets it (Windows), or sends the copy SIGTERM while its
// pid is still the copy's (POSIX). False when nothing was set.
bool SetNamedEvent(const std::string& name, const ProcessHandle& copy);

}  // namespace zep::platform
