// What the exported entry points do.
#pragma once

#include <cstdint>
#include <string>

#include "zep_exports.h"

namespace zep {

bool DoAction(int32_t action, const char* servicePath, const char* hostText);
uint32_t GetAlias(uint32_t* alias);
uint32_t GetVersionDesc(char* buffer);
uint32_t GetPorts(bool secure, uint32_t* port);
uint32_t GetWaitTimeout();
int32_t DistributeCommand(uint32_t sendBackHandle, uint64_t connectionContext, int32_t skipRequest, const char* url,
                          const char* requestText, const uint8_t* binaryBody, uint32_t binaryBodyLength,
                          uint32_t clientSupported, SendBackCallback sendBack, uint32_t clientSocket,
                          const char* origin, intptr_t hostData1, intptr_t hostData2, intptr_t hostData3);
int32_t GetImage(const char* request, void* buffer, uint32_t* size);
int32_t SetImage(const char* request, const void* data, uint32_t size);
int32_t Reserved(const char* key, const char* path, intptr_t reserved);

// "kelpm2_" and the module version without commas and blanks.
std::string BuildVersionTag();

}  // namespace zep
