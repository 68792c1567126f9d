#include "module/virtual_manager_client.h"

#include "commands/manager_client.h"
#include "common/module_locks.h"
#include "platform/clock.h"

namespace zep {

namespace {
VirtualManagerClient* instance = nullptr;
}  // namespace

VirtualManagerClient::VirtualManagerClient() { managerClient = std::make_unique<ManagerClient>(); }

VirtualManagerClient::~VirtualManagerClient() {
  // The manager goes first: it stops the per-user service copies.
  managerClient.reset();
  fileWhiteList.clear();
  imageMaps.Clear();
}

VirtualManagerClient* VirtualManagerClient::GetInstance() {
  {
    SharedLockGuard guard(&InstanceLock());
    if (!guard.Owned()) return nullptr;
    if (instance != nullptr) return instance;
  }
  ExclusiveLockGuard guard(&InstanceLock());
  if (!guard.Owned()) return nullptr;
  if (instance == nullptr) instance = new VirtualManagerClient();
  return instance;
}

bool VirtualManagerClient::DestroyInstance() {
  ExclusiveLockGuard guard(&InstanceLock());
  if (!guard.Owned()) return false;
  delete instance;
  instance = nullptr;
  return true;
}

int64_t VirtualManagerClient::GetLastActivityTime() {
  SharedLockGuard guard(&activityLock);
  // 0 reads as "busy": the host keeps polling rather than idling.
  return guard.Owned() ? lastActivityTime : 0;
}

void VirtualManagerClient::SetLastActivityTime(int64_t value) {
  ExclusiveLockGuard guard(&activityLock);
  if (guard.Owned()) lastActivityTime = value;
}

void VirtualManagerClient::StampActivity() { SetLastActivityTime(platform::CurrentUnixSeconds()); }

}  // namespace zep
