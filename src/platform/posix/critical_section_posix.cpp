// Critical sections on POSIX. Every section is listed, so that a fork finds
// them all: the fork is made with each one held, and the child makes each
// one anew, since a section held by another thread at the fork would
// otherwise stay held in a child that does not have that thread.
#include <pthread.h>

#include <atomic>
#include <new>

#include "platform/critical_section.h"

namespace zep::platform {

namespace {

struct Section {
  pthread_mutex_t mutex;
  CriticalSection* previous;
  CriticalSection* next;
};
static_assert(sizeof(Section) <= 64, "critical section storage too small");

Section* AsSection(unsigned char* storage) { return reinterpret_cast<Section*>(storage); }

// The list of sections and the handlers: plain data, valid before any
// constructor runs and never destroyed.
pthread_mutex_t listMutex = PTHREAD_MUTEX_INITIALIZER;
CriticalSection* first = nullptr;
constexpr int kMaxHandlers = 8;
ForkHandlers handlers[kMaxHandlers];
std::atomic<int> handlerCount{0};

}  // namespace

// A section's own storage, for the fork handlers.
struct CriticalSectionList {
  static Section* Of(CriticalSection* section) { return AsSection(section->storage_); }

  static void Prepare() {
    for (int i = handlerCount.load() - 1; i >= 0; --i)
      if (handlers[i].prepare != nullptr) handlers[i].prepare();
    pthread_mutex_lock(&listMutex);
    for (CriticalSection* section = first; section != nullptr; section = Of(section)->next)
      pthread_mutex_lock(&Of(section)->mutex);
  }

  static void Parent() {
    for (CriticalSection* section = first; section != nullptr; section = Of(section)->next)
      pthread_mutex_unlock(&Of(section)->mutex);
    pthread_mutex_unlock(&listMutex);
    for (int i = 0; i < handlerCount.load(); ++i)
      if (handlers[i].parent != nullptr) handlers[i].parent();
  }

  static void Child() {
    for (CriticalSection* section = first; section != nullptr; section = Of(section)->next)
      pthread_mutex_init(&Of(section)->mutex, nullptr);
    pthread_mutex_init(&listMutex, nullptr);
    for (int i = 0; i < handlerCount.load(); ++i)
      if (handlers[i].child != nullptr) handlers[i].child();
  }
};

namespace {

__attribute__((constructor)) void RegisterAtFork() {
  // The C library drops the handlers of a library that is unloaded.
  pthread_atfork(&CriticalSectionList::Prepare, &CriticalSectionList::Parent, &CriticalSectionList::Child);
}

}  // namespace

void RegisterForkHandlers(const ForkHandlers& registered) {
  const int index = handlerCount.load();
  if (index >= kMaxHandlers) return;
  handlers[index] = registered;
  handlerCount.store(index + 1);
}

CriticalSection::CriticalSection(unsigned /*spinCount*/) {
  Section* section = new (storage_) Section;
  pthread_mutex_init(&section->mutex, nullptr);
  pthread_mutex_lock(&listMutex);
  section->previous = nullptr;
  section->next = first;
  if (first != nullptr) AsSection(first->storage_)->previous = this;
  first = this;
  pthread_mutex_unlock(&listMutex);
}

CriticalSection::~CriticalSection() {
  Section* section = AsSection(storage_);
  pthread_mutex_lock(&listMutex);
  if (section->previous != nullptr)
    AsSection(section->previous->storage_)->next = section->next;
  else
    first = section->next;
  if (section->next != nullptr) AsSection(section->next->storage_)->previous = section->previous;
  pthread_mutex_unlock(&listMutex);
  pthread_mutex_destroy(&section->mutex);
}

void CriticalSection::Enter() { pthread_mutex_lock(&AsSection(storage_)->mutex); }

void CriticalSection::Leave() { pthread_mutex_unlock(&AsSection(storage_)->mutex); }

}  // namespace zep::platform
