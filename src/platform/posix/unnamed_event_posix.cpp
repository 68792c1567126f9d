#include <pthread.h>

#include <new>

#include "platform/unnamed_event.h"

namespace zep::platform {

namespace {

struct Event {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  bool signalled = false;
  bool manualReset = false;
};

}  // namespace

EventHandle CreateUnnamedEvent(bool manualReset) {
  auto* event = new (std::nothrow) Event;
  if (event != nullptr) event->manualReset = manualReset;
  return event;
}

bool SignalEvent(EventHandle handle) {
  auto* event = static_cast<Event*>(handle);
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  event->signalled = true;
  if (event->manualReset)
    pthread_cond_broadcast(&event->cond);
  else
    pthread_cond_signal(&event->cond);
  pthread_mutex_unlock(&event->mutex);
  return true;
}

bool ResetEvent(EventHandle handle) {
  auto* event = static_cast<Event*>(handle);
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return true;
}

bool WaitForEvent(EventHandle handle) {
  auto* event = static_cast<Event*>(handle);
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  while (!event->signalled) pthread_cond_wait(&event->cond, &event->mutex);
  if (!event->manualReset) event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return true;
}

void CloseEvent(EventHandle handle) { delete static_cast<Event*>(handle); }

}  // namespace zep::platform
