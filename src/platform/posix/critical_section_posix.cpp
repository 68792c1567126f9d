#include <pthread.h>

#include <new>

#include "platform/critical_section.h"

namespace zep::platform {

namespace {

pthread_mutex_t* AsMutex(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }

}  // namespace

static_assert(sizeof(pthread_mutex_t) <= 64, "critical section storage too small");

CriticalSection::CriticalSection(unsigned /*spinCount*/) {
  new (storage_) pthread_mutex_t;
  pthread_mutex_init(AsMutex(storage_), nullptr);
}

CriticalSection::~CriticalSection() { pthread_mutex_destroy(AsMutex(storage_)); }

void CriticalSection::Enter() { pthread_mutex_lock(AsMutex(storage_)); }

void CriticalSection::Leave() { pthread_mutex_unlock(AsMutex(storage_)); }

}  // namespace zep::platform
