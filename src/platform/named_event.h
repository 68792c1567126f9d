// Named events shared between processes (a POSIX named semaphore there):
// the module sets one to stop a per-user copy, which waits on it.
#pragma once

#include <cstdint>
#include <string>

namespace zep::platform {

// The event a per-user copy waits on. Opens it, creating it when missing.
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
  struct Native;  // the event, or the semaphore and its name
  Native* native_ = nullptr;
};

// Opens the named event with full access and sets it; false when it cannot be opened.
bool SetNamedEvent(const std::string& name);
// Removes the name of a copy's event once the copy is gone. Windows removes
// an event with its last handle; elsewhere the name would outlive the copy.
void RemoveNamedEvent(const std::string& name);

}  // namespace zep::platform
