// Blocks of the process's global heap.
#pragma once

#include <cstddef>

namespace zep::platform {

// Zero-filled block of the process's global heap; null on failure.
void* GlobalAllocZeroed(size_t bytes);
void GlobalFreeBlock(void* block);

}  // namespace zep::platform
