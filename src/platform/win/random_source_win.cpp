#include <windows.h>
// After windows.h: it declares RtlGenRandom (SystemFunction036 of advapi32).
#include <ntsecapi.h>

#include "platform/random_source.h"

namespace zep::platform {

bool SystemRandomBytes(void* buffer, size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG part = size > 0x10000 ? 0x10000 : static_cast<ULONG>(size);
    if (!RtlGenRandom(bytes, part)) return false;
    bytes += part;
    size -= part;
  }
  return true;
}

}  // namespace zep::platform
