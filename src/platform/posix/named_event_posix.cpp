#include <signal.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/named_event.h"
#include "platform/posix/process_handle_posix.h"

namespace zep::platform {

struct NamedEventListener::Native {};

namespace {

sigset_t StopSignal() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  return stop;
}

}  // namespace

NamedEventListener::NamedEventListener(const std::string& /*name*/) {
  const sigset_t stop = StopSignal();
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return;
  native_ = new (std::nothrow) Native;
}

// SIGTERM stays blocked: the copy ends anyway, and one that came meanwhile
// would otherwise end it at once.
NamedEventListener::~NamedEventListener() { delete native_; }

bool NamedEventListener::WaitSet(uint32_t milliseconds) {
  if (native_ == nullptr) return false;
  const sigset_t stop = StopSignal();
  const timespec timeout{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  int result;
  do {
    result = sigtimedwait(&stop, nullptr, &timeout);
  } while (result < 0 && errno == EINTR);
  return result == SIGTERM;
}

bool SetNamedEvent(const std::string& /*name*/, const ProcessHandle& copy) {
  if (copy.Get() == nullptr) return false;
  SignalProcess(*copy.Get(), SIGTERM);
  return true;
}

}  // namespace zep::platform
