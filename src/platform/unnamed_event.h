// Unnamed events, for a thread to wait on another.
#pragma once

#include <memory>

namespace zep::platform {

// An unnamed event, initially not signalled. Auto-reset events release one
// waiter per signal; manual-reset events stay signalled until reset. Until
// Create succeeds every call fails.
class UnnamedEvent {
 public:
  // The event's handle, or its condition variable. Defined in each back end's file.
  struct Native;
  struct Deleter {
    void operator()(Native* native) const;
  };

  // Replaces the event held by a new one; false (and none held) when it cannot be made.
  bool Create(bool manualReset);
  bool Valid() const { return native_ != nullptr; }
  bool Signal();
  bool Reset();
  // Waits without time-out; false when the wait failed.
  bool Wait();
  void Close() { native_.reset(); }
  // Lets go of the event without closing it: a thread that is gone (in a
  // child after fork) may have been inside it.
  void Abandon() { static_cast<void>(native_.release()); }

 private:
  std::unique_ptr<Native, Deleter> native_;
};

}  // namespace zep::platform
