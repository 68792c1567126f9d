// The stop event of a per-user copy: the module sets it to stop the copy,
// which waits on it. On Windows a named event that the module creates before
// the copy starts, and that the copy's user may only wait on. On POSIX the
// copy's SIGTERM: whatever the copy created would be its user's, who could
// truncate a shared semaphore under the module mapping it (SIGBUS) or plant
// one under the name of another user's copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/user_process.h"

namespace zep::platform {

// The module's side: the event it made for one copy, held until the copy's
// record goes.
class CopyStopEvent {
 public:
  // The event's handle (Windows); nothing on POSIX. Defined in each back end's file.
  struct Native;
  struct Deleter {
    void operator()(Native* native) const;
  };

  // Windows: creates a new event under the name, which SYSTEM and this
  // process's user may do anything with and the user of the SID may only
  // wait on. False when anything (an event or another object) already has the
  // name, which someone else could set or hold, or when it cannot be made.
  // POSIX: there is nothing to make; true.
  bool Create(const std::string& name, const std::string& userSid);
  // Sets the event made (Windows), or sends the copy SIGTERM while its pid is
  // still the copy's (POSIX). False when nothing was set.
  bool Set(const ProcessHandle& copy);
  void Close() { native_.reset(); }

 private:
  std::unique_ptr<Native, Deleter> native_;
};

// The copy's side. On Windows it opens the module's event by name, to wait
// on it only; it never creates one. On POSIX it blocks SIGTERM in the calling
// thread, which waits for it: made before the copy starts other threads
// (which then block it too), or else the process's own SIGTERM handling
// stops it.
class NamedEventListener {
 public:
  explicit NamedEventListener(const std::string& name);
  bool Valid() const { return native_ != nullptr; }
  // True when the event was set within the time. Without the event it waits
  // the time out and answers false: a copy that cannot have its event runs
  // until the service's job ends it, without spinning.
  bool WaitSet(uint32_t milliseconds);

 private:
  struct Native;  // the event, or nothing
  struct Deleter {
    void operator()(Native* native) const;
  };
  std::unique_ptr<Native, Deleter> native_;
};

}  // namespace zep::platform
