#include <windows.h>

#include <new>

#include "platform/critical_section.h"

namespace zep::platform {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section storage too small");

namespace {
CRITICAL_SECTION* AsSection(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }
}  // namespace

CriticalSection::CriticalSection(unsigned spinCount) {
  new (storage_) CRITICAL_SECTION;
  InitializeCriticalSectionAndSpinCount(AsSection(storage_), spinCount);
}

CriticalSection::~CriticalSection() { DeleteCriticalSection(AsSection(storage_)); }

void CriticalSection::Enter() { EnterCriticalSection(AsSection(storage_)); }

void CriticalSection::Leave() { LeaveCriticalSection(AsSection(storage_)); }

// No fork here.
void RegisterForkHandlers(const ForkHandlers& /*handlers*/) {}

}  // namespace zep::platform
