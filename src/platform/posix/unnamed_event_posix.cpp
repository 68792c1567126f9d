#include <pthread.h>

#include <new>

#include "platform/unnamed_event.h"

namespace zep::platform {

struct UnnamedEvent::Native {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  bool signalled = false;
  bool manualReset = false;
};

void UnnamedEvent::Deleter::operator()(Native* native) const { delete native; }

bool UnnamedEvent::Create(bool manualReset) {
  native_.reset(new (std::nothrow) Native);
  if (native_ != nullptr) native_->manualReset = manualReset;
  return native_ != nullptr;
}

bool UnnamedEvent::Signal() {
  if (native_ == nullptr) return false;
  pthread_mutex_lock(&native_->mutex);
  native_->signalled = true;
  if (native_->manualReset)
    pthread_cond_broadcast(&native_->cond);
  else
    pthread_cond_signal(&native_->cond);
  pthread_mutex_unlock(&native_->mutex);
  return true;
}

bool UnnamedEvent::Reset() {
  if (native_ == nullptr) return false;
  pthread_mutex_lock(&native_->mutex);
  native_->signalled = false;
  pthread_mutex_unlock(&native_->mutex);
  return true;
}

bool UnnamedEvent::Wait() {
  if (native_ == nullptr) return false;
  pthread_mutex_lock(&native_->mutex);
  while (!native_->signalled) pthread_cond_wait(&native_->cond, &native_->mutex);
  if (!native_->manualReset) native_->signalled = false;
  pthread_mutex_unlock(&native_->mutex);
  return true;
}

}  // namespace zep::platform
