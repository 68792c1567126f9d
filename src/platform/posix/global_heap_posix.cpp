#include <cstdlib>

#include "platform/global_heap.h"

namespace zep::platform {

void* GlobalAllocZeroed(size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }

void GlobalFreeBlock(void* block) { std::free(block); }

}  // namespace zep::platform
