// The exported names. Each one hands over to the module and lets no
// exception cross into the host.
#include "zep_exports.h"

#include "module/entry_points.h"

extern "C" {

ZEP_EXPORT bool DoAction(int32_t action, const char* servicePath, const char* hostText) {
  try {
    return zep::DoAction(action, servicePath, hostText);
  } catch (...) {
    return false;
  }
}

ZEP_EXPORT uint32_t GetAlias(uint32_t* alias) { return zep::GetAlias(alias); }

ZEP_EXPORT uint32_t GetVersionDesc(char* buffer) { return zep::GetVersionDesc(buffer); }

ZEP_EXPORT uint32_t GetPorts(bool secure, uint32_t* port) { return zep::GetPorts(secure, port); }

ZEP_EXPORT uint32_t GetWaitTimeout() {
  try {
    return zep::GetWaitTimeout();
  } catch (...) {
    return 1;
  }
}

ZEP_EXPORT int32_t DistributeCommand(uint32_t sendBackHandle, uint64_t connectionContext, int32_t skipRequest,
                                     const char* url, const char* requestText, const uint8_t* binaryBody,
                                     uint32_t binaryBodyLength, uint32_t clientSupported, SendBackCallback sendBack,
                                     uint32_t clientSocket, const char* origin, intptr_t hostData1, intptr_t hostData2,
                                     intptr_t hostData3) {
  try {
    return zep::DistributeCommand(sendBackHandle, connectionContext, skipRequest, url, requestText, binaryBody,
                                  binaryBodyLength, clientSupported, sendBack, clientSocket, origin, hostData1,
                                  hostData2, hostData3);
  } catch (...) {
    return 0;
  }
}

ZEP_EXPORT int32_t GetImage(const char* request, void* buffer, uint32_t* size) {
  try {
    return zep::GetImage(request, buffer, size);
  } catch (...) {
    return 0;
  }
}

ZEP_EXPORT int32_t SetImage(const char* request, const void* data, uint32_t size) {
  try {
    return zep::SetImage(request, data, size);
  } catch (...) {
    return 0;
  }
}

ZEP_EXPORT int32_t Reserved(const char* key, const char* path, intptr_t reserved) {
  try {
    return zep::Reserved(key, path, reserved);
  } catch (...) {
    return -1;
  }
}

ZEP_EXPORT void CloseWebSocket(void* /*context*/) {}
}
