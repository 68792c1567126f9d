#include "module/virtual_manager_client.h"

#include <cstring>

#include "commands/manager_client.h"
#include "common/module_locks.h"
#include "platform/clock.h"
#include "settings/log.h"

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
  fileWhiteList.Clear();
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

// The image records and the whitelist: storeLock guards both.

int32_t VirtualManagerClient::GetEncryptedImageMap(const char* request, void* buffer, uint32_t* size) {
  const std::string_view key = GetRequestGUID(request, kGetImagePrefix);
  if (key.empty()) return 0;
  EncryptedImageMap record;
  bool found = false;
  {
    SharedLockGuard guard(&storeLock);
    if (!guard.Owned()) return 0;
    if (const EncryptedImageMap* stored = imageMaps.Find(key)) {
      record = *stored;
      found = true;
    }
  }
  // Without somewhere to report the size the caller cannot use the record.
  if (!found || size == nullptr) return 0;
  *size = kEncryptedImageMapSize;
  if (buffer != nullptr) std::memcpy(buffer, record.bytes.data(), kEncryptedImageMapSize);
  return 1;
}

int32_t VirtualManagerClient::SetEncryptedImageMap(const char* request, const void* data, uint32_t size) {
  const std::string_view key = GetRequestGUID(request, kSetImagePrefix);
  if (key.empty()) return 0;
  if (data == nullptr) {
    ExclusiveLockGuard guard(&storeLock);
    if (!guard.Owned()) return 0;
    imageMaps.Erase(key);
    return 1;
  }
  // A record holds 524 bytes; a larger one would be cut: refuse it whole.
  if (size > kEncryptedImageMapSize) return 0;
  EncryptedImageMap record;
  std::memcpy(record.bytes.data(), data, size);
  ExclusiveLockGuard guard(&storeLock);
  if (!guard.Owned()) return 0;
  imageMaps.FindOrInsert(key) = record;
  return 1;
}

bool VirtualManagerClient::FileIsInWhiteList(const char* path) {
  SharedLockGuard guard(&storeLock);
  if (!guard.Owned()) return false;
  const NormalizedPath normalized(path);
  if (LogEnabled(kLogDebug))
    LogDebug("FileIsInWhiteList: [%s][%s].", LogText(path).c_str(), LogText(normalized.CString()).c_str());
  return fileWhiteList.Contains(normalized);
}

bool VirtualManagerClient::AddFileToWhiteList(const char* path) {
  ExclusiveLockGuard guard(&storeLock);
  if (!guard.Owned()) return false;
  fileWhiteList.Add(NormalizedPath(path));
  return true;
}

}  // namespace zep
