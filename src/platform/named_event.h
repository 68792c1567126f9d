// Named events shared between processes (a POSIX named semaphore there).
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
  bool Valid() const { return native_ != 0; }
  // True when the event was set within the time.
  bool WaitSet(uint32_t milliseconds);

 private:
  intptr_t native_ = 0;
  std::string objectName_;
};

}  // namespace zep::platform
