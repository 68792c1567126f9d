#include "module/virtual_manager_client.h"

#include <cstring>
#include <memory>
#include <new>

#include "commands/manager_client.h"
#include "common/module_locks.h"
#include "module/request_routing.h"
#include "platform/clock.h"
#include "platform/critical_section.h"
#include "protocol/http_param_request.h"
#include "settings/log.h"

namespace zep {

// One run of the singleton and the calls that hold it. Holders are never
// freed, only used again once empty: a call may still count itself in on a
// holder that it read just before the run ended, and must find memory there.
// The count takes one for the run's publication and one per call; the
// singleton is destroyed by whoever takes the count to zero.
struct InstanceHolder {
  std::atomic<uint64_t> holds{0};
  std::atomic<VirtualManagerClient*> client{nullptr};
  std::atomic<bool> free{true};
  InstanceHolder* next = nullptr;  // every holder made, never unlinked
};

namespace {

// The run published now; holders are published and taken back under
// InstanceLock exclusive, and read by the calls without it.
std::atomic<InstanceHolder*> current{nullptr};
std::atomic<InstanceHolder*> holders{nullptr};

void Release(InstanceHolder* holder) {
  if (holder->holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // A call that counted itself in on an ended run and back out finds no
  // singleton here: only the run's own last holder destroys it.
  VirtualManagerClient* client = holder->client.exchange(nullptr, std::memory_order_acq_rel);
  if (client == nullptr) return;
  delete client;
  holder->free.store(true, std::memory_order_release);
}

// An empty holder, taken for a new run; null when none can be had.
InstanceHolder* TakeHolder() {
  for (InstanceHolder* holder = holders.load(std::memory_order_acquire); holder != nullptr; holder = holder->next) {
    bool wasFree = true;
    if (holder->free.compare_exchange_strong(wasFree, false, std::memory_order_acq_rel)) return holder;
  }
  auto* fresh = new (std::nothrow) InstanceHolder;
  if (fresh == nullptr) return nullptr;
  fresh->free.store(false, std::memory_order_relaxed);
  fresh->next = holders.load(std::memory_order_relaxed);
  holders.store(fresh, std::memory_order_release);  // only under InstanceLock exclusive
  return fresh;
}

// A fork while other threads are inside the module. Before it the module's
// locks are taken in their order (the singleton, the store of the run now
// published, the settings), so that no thread is inside what they guard.
// After it the parent gives them back; the child first forgets the holds and
// waits of threads it does not have, then gives them back too. A run that was
// already stopped is reached by no call of the child.
struct ForkLocks {
  ReentrantRwLock* locks[3] = {nullptr, nullptr, nullptr};
  bool taken[3] = {false, false, false};
  // The published run, held as a call holds it, so that it cannot end meanwhile.
  alignas(InstanceRef) unsigned char runStorage[sizeof(InstanceRef)];
  InstanceRef* run = nullptr;
};
ForkLocks forkLocks;

void PrepareFork() {
  ForkLocks& fork = forkLocks;
  fork.locks[0] = &InstanceLock();
  fork.taken[0] = InstanceLock().LockExclusive() != 0;
  fork.run = new (fork.runStorage) InstanceRef(VirtualManagerClient::AcquireExisting());
  fork.locks[1] = *fork.run ? &(*fork.run)->StoreLock() : nullptr;
  fork.taken[1] = fork.locks[1] != nullptr && fork.locks[1]->LockExclusive() != 0;
  fork.locks[2] = &SettingsLock();
  fork.taken[2] = SettingsLock().LockExclusive() != 0;
}

void GiveBackAfterFork(bool child) {
  ForkLocks& fork = forkLocks;
  for (int i = 2; i >= 0; --i) {
    if (fork.locks[i] == nullptr) continue;
    if (child) fork.locks[i]->ForgetOtherThreads();
    if (fork.taken[i]) fork.locks[i]->UnlockExclusive();
    fork.locks[i] = nullptr;
    fork.taken[i] = false;
  }
  if (fork.run != nullptr) fork.run->~InstanceRef();
  fork.run = nullptr;
}

[[maybe_unused]] const bool forkHandlers =
    (platform::RegisterForkHandlers({&PrepareFork, [] { GiveBackAfterFork(false); }, [] { GiveBackAfterFork(true); }}),
     true);

}  // namespace

InstanceRef::~InstanceRef() {
  if (holder_ != nullptr) Release(holder_);
}

VirtualManagerClient::VirtualManagerClient() { managerClient = std::make_unique<ManagerClient>(); }

VirtualManagerClient::~VirtualManagerClient() {
  // The manager goes first: it stops the per-user service copies.
  managerClient.reset();
  fileWhiteList.Clear();
  imageMaps.Clear();
}

InstanceRef VirtualManagerClient::AcquireExisting() {
  for (;;) {
    InstanceHolder* holder = current.load(std::memory_order_acquire);
    if (holder == nullptr) return InstanceRef();
    holder->holds.fetch_add(1, std::memory_order_acq_rel);
    // Still published after counting in: the run cannot end under this call.
    if (current.load(std::memory_order_acquire) == holder)
      return InstanceRef(holder, holder->client.load(std::memory_order_acquire));
    Release(holder);
  }
}

InstanceRef VirtualManagerClient::Acquire() {
  for (;;) {
    if (InstanceRef existing = AcquireExisting()) return existing;
    ExclusiveLockGuard guard(&InstanceLock());
    if (!guard.Owned()) return InstanceRef();
    if (current.load(std::memory_order_acquire) != nullptr) continue;
    InstanceHolder* holder = TakeHolder();
    if (holder == nullptr) return InstanceRef();
    // The run's own hold comes first: a call that counts itself in and out
    // on this holder meanwhile never takes the count to zero.
    holder->holds.fetch_add(1, std::memory_order_acq_rel);
    VirtualManagerClient* client = nullptr;
    try {
      client = new VirtualManagerClient();
    } catch (...) {
    }
    if (client == nullptr) {
      Release(holder);
      holder->free.store(true, std::memory_order_release);
      return InstanceRef();
    }
    holder->client.store(client, std::memory_order_release);
    current.store(holder, std::memory_order_release);
  }
}

bool VirtualManagerClient::DestroyInstance() {
  ExclusiveLockGuard guard(&InstanceLock());
  if (!guard.Owned()) return false;
  if (InstanceHolder* holder = current.exchange(nullptr, std::memory_order_acq_rel)) Release(holder);
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

namespace {

int32_t StampAndSend(SendBackCallback callback, uint32_t sendBackHandle, uint64_t connectionContext, const char* text,
                     const void* data, uint32_t dataLength, intptr_t reserved) {
  if (const InstanceRef client = VirtualManagerClient::AcquireExisting()) client->StampActivity();
  return callback(sendBackHandle, connectionContext, text, data, dataLength, reserved);
}

}  // namespace

int32_t VirtualManagerClient::RouteRequest(const HostRequest& host, const std::string& url,
                                           const std::string& requestText, uint8_t* body, uint32_t bodyLength) {
  std::unique_ptr<uint8_t[]> ownedBody(body);
  // Whether the host has been handed the "Invalid command" reply.
  bool answered = false;
  std::unique_ptr<HttpParamRequest> request;
  try {
    const RoutedCommand routed = RouteCommand(url, requestText);
    const std::string& commandText = routed.commandText;
    std::unique_ptr<uint8_t[]> requestBody;
    uint32_t requestBodyLength = 0;
    if (routed.route == Route::LoadZipFromBytes) {
      requestBody = std::move(ownedBody);
      requestBodyLength = bodyLength;
    } else if (!routed.moduleBody.empty()) {
      const size_t length = routed.moduleBody.size();
      requestBody.reset(new (std::nothrow) uint8_t[length]);
      if (requestBody == nullptr) {
        LogError("ZEP_http_body, Websocket callback http not enough memory for %d.", static_cast<int>(length));
      } else {
        std::memcpy(requestBody.get(), routed.moduleBody.data(), length);
        requestBodyLength = static_cast<uint32_t>(length);
      }
    }
    ownedBody.reset();

    if (commandText.empty()) {
      StampActivity();
      if (host.sendBack == nullptr) return 0;
      answered = true;
      return host.sendBack(host.sendBackHandle, host.connectionContext, "Invalid command", nullptr, 0, 0);
    }

    request =
        std::make_unique<HttpParamRequest>(host, commandText, requestBody.get(), requestBodyLength, &StampAndSend);
    requestBody.release();  // the request's response owns it now
    LogDebug("Url encode json command succeed. Processing...");
    if (LogEnabled(kLogDebug)) LogDebug("cmd = [%s]", LogText(commandText).c_str());
    return DispatchRequest(request.get());
  } catch (...) {
    // Whatever failed, the command gets exactly one reply.
    if (request != nullptr) return request->SendFailureReply();
    if (answered) return 0;
    StampActivity();
    return SendFallbackReply(host.sendBack, host.sendBackHandle, host.connectionContext);
  }
}

int32_t VirtualManagerClient::DispatchRequest(HttpParamRequest* request) {
  if (request == nullptr) {
    LogError("HttpParamRequest is NULL");
    return 0;
  }
  SetLastActivityTime(0);
  if (LogEnabled(kLogDebug)) LogDebug("Receive Command: %s", LogText(request->GetCommandText()).c_str());
  const int32_t result = managerClient->RunCommand(*request);
  StampActivity();
  return result;
}

}  // namespace zep
