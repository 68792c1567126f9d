#include <pthread.h>

#include <new>

#include "platform/unnamed_event.h"

namespace zep::platform {

struct UnnamedEvent {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  bool signalled = false;
  bool manualReset = false;
};

EventHandle CreateUnnamedEvent(bool manualReset) {
  auto* event = new (std::nothrow) UnnamedEvent;
  if (event != nullptr) event->manualReset = manualReset;
  return event;
}

bool SignalEvent(EventHandle event) {
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

bool ResetEvent(EventHandle event) {
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return true;
}

bool WaitForEvent(EventHandle event) {
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  while (!event->signalled) pthread_cond_wait(&event->cond, &event->mutex);
  if (!event->manualReset) event->signalled = false;
  pthread_mutex_unlock(&event->mutex);
  return true;
}

void CloseEvent(EventHandle event) { delete event; }

}  // namespace zep::platform
