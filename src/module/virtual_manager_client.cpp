#include "module/virtual_manager_client.h"

#include <ctime>

#include "commands/manager_client.h"
#include "common/module_locks.h"

namespace zep {

namespace {
VirtualManagerClient* instance = nullptr;
}  // namespace

VirtualManagerClient::VirtualManagerClient() { managerClient = std::make_unique<ManagerClient>(); }

VirtualManagerClient::~VirtualManagerClient() {
  // The manager goes first: it stops the per-user service copies.
  managerClient.reset();
  fileWhiteList.clear();
  imageMaps.clear();
}

VirtualManagerClient* VirtualManagerClient::GetInstance() {
  {
    SharedLockGuard guard(&InstanceLock());
    if (instance != nullptr) return instance;
  }
  ExclusiveLockGuard guard(&InstanceLock());
  if (instance == nullptr) instance = new VirtualManagerClient();
  return instance;
}

void VirtualManagerClient::DestroyInstance() {
  ExclusiveLockGuard guard(&InstanceLock());
  delete instance;
  instance = nullptr;
}

int64_t VirtualManagerClient::GetLastActivityTime() {
  SharedLockGuard guard(&activityLock);
  return lastActivityTime;
}

void VirtualManagerClient::SetLastActivityTime(int64_t value) {
  ExclusiveLockGuard guard(&activityLock);
  lastActivityTime = value;
}

void VirtualManagerClient::StampActivity() { SetLastActivityTime(static_cast<int64_t>(std::time(nullptr))); }

}  // namespace zep
