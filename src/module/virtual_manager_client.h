// The module singleton: the state of one run of the module.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/reentrant_rw_lock.h"
#include "store/file_white_list.h"
#include "store/image_map.h"
#include "zep_exports.h"

namespace zep {

class ManagerClient;
class HttpParamRequest;
struct HostRequest;
class VirtualManagerClient;

// A call's hold on the singleton: while it lives, the singleton it names is
// not destroyed, even when the module is stopped meanwhile. Empty when there
// was none to be had.
class InstanceRef {
 public:
  InstanceRef() = default;
  ~InstanceRef();
  InstanceRef(InstanceRef&& other) noexcept : count_(other.count_), parity_(other.parity_), client_(other.client_) {
    other.count_ = nullptr;
    other.client_ = nullptr;
  }
  InstanceRef& operator=(InstanceRef&&) = delete;
  InstanceRef(const InstanceRef&) = delete;
  InstanceRef& operator=(const InstanceRef&) = delete;

  explicit operator bool() const { return client_ != nullptr; }
  VirtualManagerClient* operator->() const { return client_; }

 private:
  friend class VirtualManagerClient;
  InstanceRef(std::atomic<uint64_t>* count, unsigned parity, VirtualManagerClient* client)
      : count_(count), parity_(parity), client_(client) {}
  // The count this call is counted in, and the parity of the epoch it counted under.
  std::atomic<uint64_t>* count_ = nullptr;
  unsigned parity_ = 0;
  VirtualManagerClient* client_ = nullptr;
};

class VirtualManagerClient {
 public:
  VirtualManagerClient();
  virtual ~VirtualManagerClient();
  VirtualManagerClient(const VirtualManagerClient&) = delete;
  VirtualManagerClient& operator=(const VirtualManagerClient&) = delete;

  // The singleton, created on first use; none when InstanceLock refused.
  static InstanceRef Acquire();
  // The singleton if there is one; none otherwise.
  static InstanceRef AcquireExisting();
  // Ends the singleton's run (the module's stop action): the next call gets
  // a fresh one, and this one is destroyed, its copies stopped, once no call
  // holds it any more (at once when none does). False when InstanceLock refused.
  static bool DestroyInstance();

  // Takes the body, which the command holds until it ends; nothing reads it.
  int32_t RouteRequest(const HostRequest& host, const std::string& url, std::string requestText, uint8_t* body);
  int32_t DispatchRequest(HttpParamRequest* request);

  // 0 while a command runs.
  int64_t GetLastActivityTime();
  void SetLastActivityTime(int64_t value);
  void StampActivity();

  int32_t GetEncryptedImageMap(const char* request, void* buffer, uint32_t* size);
  int32_t SetEncryptedImageMap(const char* request, const void* data, uint32_t size);

  bool FileIsInWhiteList(const char* path);
  // False when the list could not be locked.
  bool AddFileToWhiteList(const char* path);

  ManagerClient& GetManagerClient() { return *managerClient; }
  ReentrantRwLock& StoreLock() { return storeLock; }

 private:
  friend class InstanceRef;
  // Counts a call out under the parity; the last call out of stopped runs destroys them.
  static void Leave(std::atomic<uint64_t>* count, unsigned parity);
  // Destroys the stopped runs of the parity once no call is counted under it.
  static void DestroyEnded(unsigned parity);

  // Stamped as commands end and replies go: an atomic, so that commands on
  // several threads do not queue for a lock to write it. On a cache line of
  // its own, so that its writes do not take from other threads the members
  // that every command reads.
  alignas(64) std::atomic<int64_t> lastActivityTime{0};
  // A stopped run waiting for its calls to leave: the next of its list.
  VirtualManagerClient* endedNext = nullptr;
  alignas(64) std::unique_ptr<ManagerClient> managerClient;
  ImageMapTable imageMaps;
  ReentrantRwLock storeLock;
  FileWhiteList fileWhiteList;
};

}  // namespace zep
