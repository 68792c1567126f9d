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
struct InstanceHolder;

// A call's hold on the singleton: while it lives, the singleton it names is
// not destroyed, even when the module is stopped meanwhile. Empty when there
// was none to be had.
class InstanceRef {
 public:
  InstanceRef() = default;
  ~InstanceRef();
  InstanceRef(InstanceRef&& other) noexcept : holder_(other.holder_), client_(other.client_) {
    other.holder_ = nullptr;
    other.client_ = nullptr;
  }
  InstanceRef& operator=(InstanceRef&&) = delete;
  InstanceRef(const InstanceRef&) = delete;
  InstanceRef& operator=(const InstanceRef&) = delete;

  explicit operator bool() const { return client_ != nullptr; }
  VirtualManagerClient* operator->() const { return client_; }

 private:
  friend class VirtualManagerClient;
  InstanceRef(InstanceHolder* holder, VirtualManagerClient* client) : holder_(holder), client_(client) {}
  InstanceHolder* holder_ = nullptr;
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

  // Takes the body.
  int32_t RouteRequest(const HostRequest& host, const std::string& url, std::string requestText, uint8_t* body,
                       uint32_t bodyLength);
  int32_t DispatchRequest(HttpParamRequest* request);

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
  // One value that every command writes twice: an atomic, so that commands
  // on several threads do not queue for a lock to write it.
  std::atomic<int64_t> lastActivityTime{0};
  std::unique_ptr<ManagerClient> managerClient;
  ImageMapTable imageMaps;
  ReentrantRwLock storeLock;
  FileWhiteList fileWhiteList;
};

}  // namespace zep
