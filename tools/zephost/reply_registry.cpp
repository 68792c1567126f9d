#include "reply_registry.h"

namespace zephost {

int32_t SendBack(uint32_t handle, uint64_t /*context*/, const char* text, const void* /*data*/, uint32_t /*length*/,
                 intptr_t /*reserved*/) {
  return ReplyRegistry::Instance().Deliver(handle, text) ? 1 : 0;
}

}  // namespace zephost
