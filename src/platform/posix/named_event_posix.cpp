#include <fcntl.h>
#include <semaphore.h>
#include <time.h>

#include <cerrno>

#include "platform/named_event.h"

namespace zep::platform {

namespace {

// Semaphore name for an event name such as "Global\x": one leading slash and
// no other slashes or backslashes.
std::string SemaphoreNameFor(const std::string& eventName) {
  std::string name = "/";
  for (char c : eventName) name += (c == '\\' || c == '/') ? '_' : c;
  if (name.size() > 250) name.resize(250);
  return name;
}

}  // namespace

NamedEventListener::NamedEventListener(const std::string& name) : objectName_(SemaphoreNameFor(name)) {
  sem_t* semaphore = sem_open(objectName_.c_str(), O_CREAT, 0666, 0);
  if (semaphore != SEM_FAILED) native_ = reinterpret_cast<intptr_t>(semaphore);
}

NamedEventListener::~NamedEventListener() {
  if (native_ != 0) {
    sem_close(reinterpret_cast<sem_t*>(native_));
    sem_unlink(objectName_.c_str());
  }
}

bool NamedEventListener::WaitSet(uint32_t milliseconds) {
  if (native_ == 0) return false;
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int result;
  do {
    result = sem_timedwait(reinterpret_cast<sem_t*>(native_), &deadline);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void RemoveNamedEvent(const std::string& name) { sem_unlink(SemaphoreNameFor(name).c_str()); }

bool SetNamedEvent(const std::string& name) {
  sem_t* semaphore = sem_open(SemaphoreNameFor(name).c_str(), 0);
  if (semaphore == SEM_FAILED) return false;
  sem_post(semaphore);
  sem_close(semaphore);
  return true;
}

}  // namespace zep::platform
