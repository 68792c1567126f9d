#include <windows.h>

#include "platform/global_heap.h"

namespace zep::platform {

void* GlobalAllocZeroed(size_t bytes) { return GlobalAlloc(GPTR, bytes == 0 ? 1 : bytes); }

void GlobalFreeBlock(void* block) { GlobalFree(block); }

}  // namespace zep::platform
