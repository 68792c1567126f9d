// The system's source of random bytes, for keys that no one outside the
// process may guess.
#pragma once

#include <cstddef>

namespace zep::platform {

// Fills the buffer from the system's cryptographic random source; false when
// it could not (the buffer is then left as it was, in whole or in part).
bool SystemRandomBytes(void* buffer, size_t size);

}  // namespace zep::platform
