#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "platform/sync.h"

namespace zep::platform {

namespace {

struct Event {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  bool signalled = false;
  bool manualReset = false;
};

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

// Asked of the kernel each time: a per-thread copy would be kept per host thread.
uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// The thread's control block, which pthread_self() answers too, read without
// the call into the C library where the compiler can.
uintptr_t CurrentThreadToken() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
  return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
  return static_cast<uintptr_t>(pthread_self());
#endif
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

void* GlobalAllocZeroed(size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }

void GlobalFreeBlock(void* block) { std::free(block); }

}  // namespace zep::platform
