#include "module/virtual_manager_client.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "commands/manager_client.h"
#include "common/module_locks.h"
#include "module/request_routing.h"
#include "platform/clock.h"
#include "platform/critical_section.h"
#include "protocol/http_param_request.h"
#include "settings/log.h"

namespace zep {

namespace {

// The published run and the calls that hold runs. A call counts itself in on
// one of a few counters, chosen by its stack address so that threads seldom
// share one, under the parity of the epoch, and reads the published run; the
// epoch turns when a run is stopped. A call that counted in under an epoch
// and saw it unchanged after reading the run holds a run published in that
// epoch; a stopped run therefore waits only for the counters of its epoch's
// parity, and is destroyed by the last call that leaves them at zero (or at
// once by the stop, when none holds it). No call writes a line that another
// thread's call writes, unless their stacks hash alike.
constexpr size_t kStripes = 64;  // the top six bits of the hash below
struct alignas(64) Stripe {
  std::atomic<uint64_t> calls[2] = {};
  // Commands running, of any run: beside the holds, on a line the thread
  // writes already.
  std::atomic<int64_t> commands{0};
};

struct Runs {
  // Published and taken back under InstanceLock exclusive; read by the calls without it.
  std::atomic<VirtualManagerClient*> current{nullptr};
  std::atomic<uint64_t> epoch{0};
  // Stopped runs whose calls may not all have left, by the parity of the
  // epoch they were published in; linked through endedNext.
  std::atomic<VirtualManagerClient*> ended[2] = {};
  Stripe stripes[kStripes];
};
// Of static storage with no destructor to run: calls may go on while the process exits.
Runs runs;

Stripe& StripeOf(const void* stackAddress) {
  // Threads' stacks lie megabytes apart; the pages of one stack hash alike.
  const uint64_t page = reinterpret_cast<uintptr_t>(stackAddress) >> 16;
  return runs.stripes[static_cast<size_t>((page * 0x9E3779B97F4A7C15ull) >> 58)];
}

bool CommandsRunning() {
  for (const Stripe& stripe : runs.stripes)
    if (stripe.commands.load() > 0) return true;
  return false;
}

// Turned in a child forked without exec, whose counts start again at zero.
std::atomic<uint64_t> forkGeneration{0};

// Counts a command in while it runs; the command's last activity is stamped
// before it counts out. A command that a child forked inside it (from the
// host's callback) carries on with was not counted in the child: it does not
// count out there either.
class RunningCommand {
 public:
  RunningCommand() : count_(StripeOf(this).commands), generation_(forkGeneration.load()) { count_.fetch_add(1); }
  ~RunningCommand() {
    if (forkGeneration.load() == generation_) count_.fetch_sub(1);
  }
  RunningCommand(const RunningCommand&) = delete;
  RunningCommand& operator=(const RunningCommand&) = delete;

 private:
  std::atomic<int64_t>& count_;
  const uint64_t generation_;
};

bool Drained(unsigned parity) {
  for (const Stripe& stripe : runs.stripes)
    if (stripe.calls[parity].load() != 0) return false;
  return true;
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
  // The parent's other threads, inside commands, are not in the child.
  if (child) {
    forkGeneration.fetch_add(1);
    for (Stripe& stripe : runs.stripes) stripe.commands.store(0);
  }
  if (fork.run != nullptr) fork.run->~InstanceRef();
  fork.run = nullptr;
}

[[maybe_unused]] const bool forkHandlers =
    (platform::RegisterForkHandlers({&PrepareFork, [] { GiveBackAfterFork(false); }, [] { GiveBackAfterFork(true); }}),
     true);

}  // namespace

InstanceRef::~InstanceRef() {
  if (count_ != nullptr) VirtualManagerClient::Leave(count_, parity_);
}

void VirtualManagerClient::Leave(std::atomic<uint64_t>* count, unsigned parity) {
  count->fetch_sub(1);
  // A stop that found this call counted in left its run to the last call out.
  if (runs.ended[parity].load() != nullptr) DestroyEnded(parity);
}

void VirtualManagerClient::DestroyEnded(unsigned parity) {
  std::atomic<VirtualManagerClient*>& ended = runs.ended[parity];
  for (;;) {
    // Each run taken was stopped before it was taken: a call that holds it
    // counted in before its stop, and shows in the counters read now.
    VirtualManagerClient* taken = ended.exchange(nullptr);
    if (taken == nullptr) return;
    if (Drained(parity)) {
      while (taken != nullptr) {
        VirtualManagerClient* next = taken->endedNext;
        delete taken;
        taken = next;
      }
      continue;
    }
    // Put back for the last call out, which finds them there; or, when it
    // left meanwhile, for this look again.
    VirtualManagerClient* last = taken;
    while (last->endedNext != nullptr) last = last->endedNext;
    VirtualManagerClient* head = ended.load();
    do {
      last->endedNext = head;
    } while (!ended.compare_exchange_weak(head, taken));
    if (!Drained(parity)) return;
  }
}

VirtualManagerClient::VirtualManagerClient() { managerClient = std::make_unique<ManagerClient>(); }

VirtualManagerClient::~VirtualManagerClient() {
  // The manager goes first: it stops the per-user service copies.
  managerClient.reset();
  fileWhiteList.Clear();
  imageMaps.Clear();
}

InstanceRef VirtualManagerClient::AcquireExisting() {
  const char onThisStack = 0;
  Stripe& stripe = StripeOf(&onThisStack);
  for (;;) {
    const uint64_t epoch = runs.epoch.load();
    const unsigned parity = static_cast<unsigned>(epoch & 1);
    std::atomic<uint64_t>* count = &stripe.calls[parity];
    count->fetch_add(1);
    VirtualManagerClient* client = runs.current.load();
    // Still the same epoch after reading the run: counted in before any stop of it.
    if (runs.epoch.load() == epoch) {
      if (client != nullptr) return InstanceRef(count, parity, client);
      Leave(count, parity);
      return InstanceRef();
    }
    Leave(count, parity);
  }
}

InstanceRef VirtualManagerClient::Acquire() {
  for (;;) {
    if (InstanceRef existing = AcquireExisting()) return existing;
    ExclusiveLockGuard guard(&InstanceLock());
    if (!guard.Owned()) return InstanceRef();
    if (runs.current.load() != nullptr) continue;
    VirtualManagerClient* client = nullptr;
    try {
      client = new VirtualManagerClient();
    } catch (...) {
    }
    if (client == nullptr) return InstanceRef();
    runs.current.store(client);
  }
}

bool VirtualManagerClient::DestroyInstance() {
  ExclusiveLockGuard guard(&InstanceLock());
  if (!guard.Owned()) return false;
  VirtualManagerClient* client = runs.current.exchange(nullptr);
  if (client == nullptr) return true;
  // Calls that count in from now on do so under the other parity, and cannot hold this run.
  const unsigned parity = static_cast<unsigned>(runs.epoch.fetch_add(1) & 1);
  VirtualManagerClient* head = runs.ended[parity].load();
  do {
    client->endedNext = head;
  } while (!runs.ended[parity].compare_exchange_weak(head, client));
  DestroyEnded(parity);
  return true;
}

int64_t VirtualManagerClient::GetLastActivityTime() {
  return CommandsRunning() ? 0 : lastActivityTime.load(std::memory_order_relaxed);
}

void VirtualManagerClient::SetLastActivityTime(int64_t value) {
  // Left alone when it holds the value already: within a second, commands on
  // other threads do not take the line from each other's caches.
  if (lastActivityTime.load(std::memory_order_relaxed) != value)
    lastActivityTime.store(value, std::memory_order_relaxed);
}

void VirtualManagerClient::StampActivity() { SetLastActivityTime(platform::CurrentUnixSeconds()); }

// The image records and the whitelist: storeLock guards both.

namespace {

// In 64-byte pieces, which the compiler copies with vector moves: a whole
// record at once became a string move whose start-up cost a third of a fetch.
void CopyRecord(void* to, const void* from) {
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  size_t at = 0;
  for (; at + 64 <= kEncryptedImageMapSize; at += 64) std::memcpy(out + at, in + at, 64);
  std::memcpy(out + at, in + at, kEncryptedImageMapSize - at);
}

}  // namespace

int32_t VirtualManagerClient::GetEncryptedImageMap(const char* request, void* buffer, uint32_t* size) {
  const std::string_view key = GetRequestGUID(request, kGetImagePrefix);
  if (key.empty()) return 0;
  // Copied out under the lock, and only then to the caller's memory, which
  // may fault into the host's handlers or wait on a mapped file: never with
  // the lock held.
  EncryptedImageMap record;
  {
    SharedLockGuard guard(&storeLock);
    if (!guard.Owned()) return 0;
    const EncryptedImageMap* stored = imageMaps.Find(key);
    // Without somewhere to report the size the caller cannot use the record.
    if (stored == nullptr || size == nullptr) return 0;
    CopyRecord(record.bytes.data(), stored->bytes.data());
  }
  *size = kEncryptedImageMapSize;
  if (buffer != nullptr) CopyRecord(buffer, record.bytes.data());
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

int32_t VirtualManagerClient::RouteRequest(const HostRequest& host, const std::string& url, std::string requestText,
                                           uint8_t* body) {
  std::unique_ptr<uint8_t[]> ownedBody(body);
  // Whether the host has been handed the "Invalid command" reply.
  bool answered = false;
  std::optional<HttpParamRequest> request;
  try {
    RoutedCommand routed = RouteCommand(url, std::move(requestText));
    const std::string& commandText = routed.commandText;
    std::unique_ptr<uint8_t[]> requestBody;
    if (routed.route == Route::LoadZipFromBytes) {
      requestBody = std::move(ownedBody);
    } else if (!routed.moduleBody.empty()) {
      const size_t length = routed.moduleBody.size();
      requestBody.reset(new (std::nothrow) uint8_t[length]);
      if (requestBody == nullptr) {
        LogError("ZEP_http_body, Websocket callback http not enough memory for %d.", static_cast<int>(length));
      } else {
        std::memcpy(requestBody.get(), routed.moduleBody.data(), length);
      }
    }
    ownedBody.reset();

    if (commandText.empty()) {
      StampActivity();
      if (host.sendBack == nullptr) return 0;
      answered = true;
      return host.sendBack(host.sendBackHandle, host.connectionContext, "Invalid command", nullptr, 0, 0);
    }

    request.emplace(host, std::move(routed.commandText), requestBody.get(), &StampAndSend);
    requestBody.release();  // the request's response owns it now
    if (LogEnabled(kLogDebug)) {
      LogDebug("Url encode json command succeed. Processing...");
      LogDebug("cmd = [%s]", LogText(request->GetCommandText()).c_str());
    }
    return DispatchRequest(&*request);
  } catch (...) {
    // Whatever failed, the command gets exactly one reply.
    if (request) return request->SendFailureReply();
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
  const RunningCommand running;
  if (LogEnabled(kLogDebug)) LogDebug("Receive Command: %s", LogText(request->GetCommandText()).c_str());
  const int32_t result = managerClient->RunCommand(*request);
  StampActivity();
  return result;
}

}  // namespace zep
