// The C library's calls that take locks of their own (the time zone, the
// user and group databases) are made under this critical section. A fork is
// made with every critical section held, so no thread of the module is
// inside such a call then, and a child forked while the module's threads
// were busy does not find the C library's own lock held for ever.
#pragma once

#include <mutex>

#include "platform/critical_section.h"

namespace zep::platform {

// Made while the library loads; never destroyed.
Mutex& CLibraryLock();

}  // namespace zep::platform
