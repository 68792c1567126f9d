#include <fcntl.h>
#include <semaphore.h>
#include <time.h>

#include <cerrno>
#include <new>
#include <utility>

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

struct NamedEventListener::Native {
  sem_t* semaphore;
  std::string objectName;
};

NamedEventListener::NamedEventListener(const std::string& name) {
  std::string objectName = SemaphoreNameFor(name);
  sem_t* semaphore = sem_open(objectName.c_str(), O_CREAT, 0666, 0);
  if (semaphore == SEM_FAILED) return;
  native_ = new (std::nothrow) Native{semaphore, std::move(objectName)};
  if (native_ == nullptr) sem_close(semaphore);
}

NamedEventListener::~NamedEventListener() {
  if (native_ == nullptr) return;
  sem_close(native_->semaphore);
  sem_unlink(native_->objectName.c_str());
  delete native_;
}

bool NamedEventListener::WaitSet(uint32_t milliseconds) {
  if (native_ == nullptr) return false;
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
    result = sem_timedwait(native_->semaphore, &deadline);
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
