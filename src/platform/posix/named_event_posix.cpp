#include <signal.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/named_event.h"
#include "platform/posix/process_handle_posix.h"

namespace zep::platform {

// The stop is the copy's SIGTERM: there is no event to make or hold.
struct CopyStopEvent::Native {};

bool CopyStopEvent::Create(const std::string& /*name*/, const std::string& /*userSid*/) { return true; }

bool CopyStopEvent::Set(const ProcessHandle& copy) {
  if (copy.Get() == nullptr) return false;
  SignalProcess(*copy.Get(), SIGTERM);
  return true;
}

void CopyStopEvent::Deleter::operator()(Native* native) const { delete native; }

struct NamedEventListener::Native {};

namespace {

sigset_t StopSignal() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  return stop;
}

timespec Timeout(uint32_t milliseconds) {
  return timespec{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
}

}  // namespace

NamedEventListener::NamedEventListener(const std::string& /*name*/) {
  const sigset_t stop = StopSignal();
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return;
  native_.reset(new (std::nothrow) Native);
}

// SIGTERM stays blocked: the copy ends anyway, and one that came meanwhile
// would otherwise end it at once.
void NamedEventListener::Deleter::operator()(Native* native) const { delete native; }

bool NamedEventListener::WaitSet(uint32_t milliseconds) {
  const timespec timeout = Timeout(milliseconds);
  if (native_ == nullptr) {
    nanosleep(&timeout, nullptr);
    return false;
  }
  const sigset_t stop = StopSignal();
  int result;
  do {
    result = sigtimedwait(&stop, nullptr, &timeout);
  } while (result < 0 && errno == EINTR);
  return result == SIGTERM;
}

}  // namespace zep::platform
