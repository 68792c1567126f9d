// The ten entry points of the zep service manager module, as a host calls
// them. Load the library (zep.dll, or libzep.so), look the names up, then:
//   1. DoAction(0 or 4, yourExecutablePath, NULL) once, before any request;
//   2. GetAlias, GetVersionDesc, GetPorts and GetWaitTimeout at any time;
//   3. DistributeCommand for every request under "/zep/", "/LoadZipFromBytes"
//      and "/CheckUpdateFile", from any thread;
//   4. GetImage, SetImage and Reserved from the host's other modules;
//   5. DoAction(3, NULL, NULL) to stop, when no other call is running.
// No entry point lets an exception out, and the module starts no threads.
#pragma once

#include <cstdint>

#ifdef _WIN32
#define ZEP_EXPORT
#else
#define ZEP_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Carries one reply back on the connection named by the handle and context
// that DistributeCommand was given. The module calls it synchronously, on the
// thread that called DistributeCommand, exactly once per command (never for a
// skipped request or a handle of 0); data is always NULL, dataLength and
// reserved 0. Its result becomes DistributeCommand's result. It may call
// into the module again.
typedef int32_t (*SendBackCallback)(uint32_t sendBackHandle, uint64_t connectionContext, const char* replyText,
                                    const void* data, uint32_t dataLength, intptr_t reserved);

// action 0: start (settings, folders and log, once per process); the path,
//           when given, replaces the service executable path that per-user
//           copies and the firewall rule use.
// action 4: start in work mode 3 (a per-user copy: it starts no copies).
// action 2: nothing.
// action 3: stop: per-user copies are told to end (and ended after 50 ms),
//           the image map and the whitelist are forgotten.
// 1 for these actions, 0 for any other.
ZEP_EXPORT bool DoAction(int32_t action, const char* servicePath, const char* hostText);
// Stores "zep" (4 bytes with its NUL) where alias points; returns 4.
ZEP_EXPORT uint32_t GetAlias(uint32_t* alias);
// The version tag "kelpm2_16261212": call with NULL to learn the size (16),
// then again with a buffer of at least that many bytes.
ZEP_EXPORT uint32_t GetVersionDesc(char* buffer);
// The module's default ports: 18626 when secure, else 18625; returns 1.
ZEP_EXPORT uint32_t GetPorts(bool secure, uint32_t* port);
// 1 while a command runs and for 30 seconds after the last one; 100 once the
// module has been idle longer.
ZEP_EXPORT uint32_t GetWaitTimeout();
// One request: the reply goes to sendBack; the result is sendBack's result
// (0 when skipped or when no reply could be sent).
ZEP_EXPORT int32_t DistributeCommand(uint32_t sendBackHandle, uint64_t connectionContext, int32_t skipRequest,
                                     const char* url, const char* requestText, const uint8_t* binaryBody,
                                     uint32_t binaryBodyLength, uint32_t clientSupported, SendBackCallback sendBack,
                                     uint32_t clientSocket, const char* origin, intptr_t hostData1, intptr_t hostData2,
                                     intptr_t hostData3);
// Fetches the 524-byte record of "/GetEncryptedImageMap?...GUID=<key>"; 1
// when found (size set to 524, buffer filled when not NULL), else 0.
ZEP_EXPORT int32_t GetImage(const char* request, void* buffer, uint32_t* size);
// Stores (data) or erases (NULL data) the record of
// "/SetEncryptedImageMap?...GUID=<key>"; 1 when the request names a key.
ZEP_EXPORT int32_t SetImage(const char* request, const void* data, uint32_t size);
// key "addFileToWhiteList" adds the path (0); "fileInQROWhiteList" answers
// 0 when the path is listed; -1 otherwise. reserved must be 0.
ZEP_EXPORT int32_t Reserved(const char* key, const char* path, intptr_t reserved);
// Does nothing.
ZEP_EXPORT void CloseWebSocket(void* context);
}
