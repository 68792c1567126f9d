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

class VirtualManagerClient {
 public:
  VirtualManagerClient();
  virtual ~VirtualManagerClient();
  VirtualManagerClient(const VirtualManagerClient&) = delete;
  VirtualManagerClient& operator=(const VirtualManagerClient&) = delete;

  // The singleton, created on first use; null when InstanceLock refused.
  static VirtualManagerClient* GetInstance();
  // Destroys the singleton if there is one (the module's stop action); false
  // when InstanceLock refused.
  static bool DestroyInstance();

  int32_t RouteRequest(uint32_t sendBackHandle, uint64_t connectionContext, const std::string& url,
                       const std::string& requestText, uint8_t* body, uint32_t bodyLength, uint32_t clientSupported,
                       SendBackCallback sendBack, uint32_t clientSocket, const std::string& origin, intptr_t hostData1,
                       intptr_t hostData2, intptr_t hostData3);
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
