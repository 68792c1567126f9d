#include "common/module_locks.h"

namespace zep {

namespace {
ReentrantRwLock settingsLock;
ReentrantRwLock instanceLock;
}  // namespace

ReentrantRwLock& SettingsLock() { return settingsLock; }

ReentrantRwLock& InstanceLock() { return instanceLock; }

}  // namespace zep
