// The two process-wide locks, constructed while the library loads.
#pragma once

#include "common/reentrant_rw_lock.h"

namespace zep {

// Every INI access and every log append.
ReentrantRwLock& SettingsLock();
// The module singleton pointer.
ReentrantRwLock& InstanceLock();

}  // namespace zep
