// The ten entry points of the module, as the host calls them.
#pragma once

#include <cstdint>

#ifdef _WIN32
#define ZEP_EXPORT
#else
#define ZEP_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

typedef int32_t (*SendBackCallback)(uint32_t sendBackHandle, uint64_t connectionContext, const char* replyText,
                                    const void* data, uint32_t dataLength, intptr_t reserved);

ZEP_EXPORT bool DoAction(int32_t action, const char* servicePath, const char* hostText);
ZEP_EXPORT uint32_t GetAlias(uint32_t* alias);
ZEP_EXPORT uint32_t GetVersionDesc(char* buffer);
ZEP_EXPORT uint32_t GetPorts(bool secure, uint32_t* port);
ZEP_EXPORT uint32_t GetWaitTimeout();
ZEP_EXPORT int32_t DistributeCommand(uint32_t sendBackHandle, uint64_t connectionContext, int32_t skipRequest,
                                     const char* url, const char* requestText, const uint8_t* binaryBody,
                                     uint32_t binaryBodyLength, uint32_t clientSupported, SendBackCallback sendBack,
                                     uint32_t clientSocket, const char* origin, intptr_t hostData1, intptr_t hostData2,
                                     intptr_t hostData3);
ZEP_EXPORT int32_t GetImage(const char* request, void* buffer, uint32_t* size);
ZEP_EXPORT int32_t SetImage(const char* request, const void* data, uint32_t size);
ZEP_EXPORT int32_t Reserved(const char* key, const char* path, intptr_t reserved);
ZEP_EXPORT void CloseWebSocket(void* context);
}
