#include <windows.h>

#include <new>

#include "platform/sync.h"

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

EventHandle CreateUnnamedEvent(bool manualReset) {
  return CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}

bool SignalEvent(EventHandle event) { return ::SetEvent(event) != 0; }

bool ResetEvent(EventHandle event) { return ::ResetEvent(event) != 0; }

bool WaitForEvent(EventHandle event) { return WaitForSingleObjectEx(event, INFINITE, FALSE) == WAIT_OBJECT_0; }

void CloseEvent(EventHandle event) { CloseHandle(event); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

uintptr_t CurrentThreadToken() { return GetCurrentThreadId(); }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void* GlobalAllocZeroed(size_t bytes) { return GlobalAlloc(GPTR, bytes == 0 ? 1 : bytes); }

void GlobalFreeBlock(void* block) { GlobalFree(block); }

}  // namespace zep::platform
