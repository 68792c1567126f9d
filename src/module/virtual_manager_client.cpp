#include "module/virtual_manager_client.h"

#include "commands/manager_client.h"
#include "common/module_locks.h"
#include "platform/clock.h"

namespace zep {

namespace {
// Written under InstanceLock exclusive; read without it once set, as the
// entries use the singleton without holding the lock anyway.
std::atomic<VirtualManagerClient*> instance{nullptr};
}  // namespace

VirtualManagerClient::VirtualManagerClient() { managerClient = std::make_unique<ManagerClient>(); }

VirtualManagerClient::~VirtualManagerClient() {
  // The manager goes first: it stops the per-user service copies.
  managerClient.reset();
  fileWhiteList.clear();
  imageMaps.Clear();
}

VirtualManagerClient* VirtualManagerClient::GetInstance() {
  if (VirtualManagerClient* existing = instance.load(std::memory_order_acquire)) return existing;
  ExclusiveLockGuard guard(&InstanceLock());
  if (!guard.Owned()) return nullptr;
  VirtualManagerClient* existing = instance.load(std::memory_order_acquire);
  if (existing == nullptr) {
    existing = new VirtualManagerClient();
    instance.store(existing, std::memory_order_release);
  }
  return existing;
}

bool VirtualManagerClient::DestroyInstance() {
  ExclusiveLockGuard guard(&InstanceLock());
  if (!guard.Owned()) return false;
  delete instance.exchange(nullptr, std::memory_order_acq_rel);
  return true;
}

int64_t VirtualManagerClient::GetLastActivityTime() { return lastActivityTime.load(std::memory_order_relaxed); }

void VirtualManagerClient::SetLastActivityTime(int64_t value) {
  // Left alone when it holds the value already: the line is not taken from other threads' caches.
  if (lastActivityTime.load(std::memory_order_relaxed) != value)
    lastActivityTime.store(value, std::memory_order_relaxed);
}

void VirtualManagerClient::StampActivity() { SetLastActivityTime(platform::CurrentUnixSeconds()); }

}  // namespace zep
