/* The ten entry points of the zep service manager module, as a host calls
 * them. C99 and C++; the README's "Writing a host" shows a whole host.
 *
 * Load the library (zep.dll with LoadLibrary, libzep.so with dlopen), look
 * the plain names up (GetProcAddress, dlsym) into the Zep...Fn pointer types
 * below, then:
 *   1. DoAction(ZEP_ACTION_START or ZEP_ACTION_START_COPY, yourExecutablePath,
 *      NULL) once, before any request;
 *   2. GetAlias, GetVersionDesc, GetPorts and GetWaitTimeout at any time;
 *   3. DistributeCommand for every request under "/zep/", and for the upload
 *      paths "/LoadZipFromBytes" and "/CheckUpdateFile", from any thread;
 *   4. GetImage, SetImage and Reserved from the host's other modules;
 *   5. DoAction(ZEP_ACTION_STOP, NULL, NULL) to stop, when no other call is
 *      running.
 * No entry point lets an exception out, and the module starts no threads.
 * Texts are NUL-terminated bytes (UTF-8 paths); bool is one byte. */
#ifndef ZEP_EXPORTS_H
#define ZEP_EXPORTS_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZEP_EXPORT /* exported by name through zep.def */
#elif defined(__GNUC__)
#define ZEP_EXPORT __attribute__((visibility("default")))
#else
#define ZEP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's callback that carries one reply back on the connection named by
 * sendBackHandle and connectionContext, as DistributeCommand was given them.
 *   sendBackHandle     the handle given to DistributeCommand (never 0 here)
 *   connectionContext  the context given to DistributeCommand, unchanged
 *   replyText          the reply: a JSON text with "id", "cmdId" and a final
 *                      line feed; GetServerInfo, SetServerInfo and GetLocalIP
 *                      answer with a bare one-line JSON text instead, and a
 *                      url the module does not serve, or an empty command,
 *                      with "Invalid command"
 *   data, dataLength   always NULL and 0
 *   reserved           always 0
 * The module calls it synchronously, on the thread that called
 * DistributeCommand, once per request unless the request is skipped, the
 * handle is 0 or sendBack is NULL. It may call into the module again. What it returns (the
 * host's own code, e.g. 0 when delivered and -1 when the connection is gone)
 * becomes DistributeCommand's result, unchanged. */
typedef int32_t (*SendBackCallback)(uint32_t sendBackHandle, uint64_t connectionContext, const char* replyText,
                                    const void* data, uint32_t dataLength, intptr_t reserved);

/* DoAction's actions.
 * ZEP_ACTION_START       start: settings, folders and log (once per process);
 *                        servicePath, when not NULL, replaces the service
 *                        executable path that per-user copies and the
 *                        firewall rule use. hostText is not read.
 * ZEP_ACTION_START_COPY  start as a per-user copy (ZEP_WORK_MODE_COPY: it
 *                        starts no copies).
 * ZEP_ACTION_NONE        nothing.
 * ZEP_ACTION_STOP        stop: per-user copies are told to end (and ended
 *                        after 50 ms), the image records and the whitelist
 *                        are forgotten.
 * Returns true for these actions, false for any other. */
enum { ZEP_ACTION_START = 0, ZEP_ACTION_NONE = 2, ZEP_ACTION_STOP = 3, ZEP_ACTION_START_COPY = 4 };

/* The work mode, as log lines show it ("[Debug-3]"): the service, which
 * starts per-user copies, or one such copy. */
enum { ZEP_WORK_MODE_SERVICE = 0, ZEP_WORK_MODE_COPY = 3 };

ZEP_EXPORT bool DoAction(int32_t action, const char* servicePath, const char* hostText);
typedef bool (*ZepDoActionFn)(int32_t action, const char* servicePath, const char* hostText);

/* Stores "zep" with its NUL (4 bytes) where alias points, unless NULL;
 * returns 4. */
ZEP_EXPORT uint32_t GetAlias(uint32_t* alias);
typedef uint32_t (*ZepGetAliasFn)(uint32_t* alias);

/* The version tag "kelpm2_16261212". Call with NULL to learn the size (16),
 * then with a buffer of at least that many bytes: the copy is not bounded. */
ZEP_EXPORT uint32_t GetVersionDesc(char* buffer);
typedef uint32_t (*ZepGetVersionDescFn)(char* buffer);

/* Stores the module's default port where port points, unless NULL: 18626
 * when secure, else 18625. Returns 1. */
ZEP_EXPORT uint32_t GetPorts(bool secure, uint32_t* port);
typedef uint32_t (*ZepGetPortsFn)(bool secure, uint32_t* port);

/* 1 until a command has been answered, while one runs and for 30 seconds
 * after the last one; 100 once the module has been idle longer. Its unit is
 * the host's choice. */
ZEP_EXPORT uint32_t GetWaitTimeout(void);
typedef uint32_t (*ZepGetWaitTimeoutFn)(void);

/* One request.
 *   sendBackHandle     the host's name for the connection, passed back to
 *                      sendBack; 0 runs the command without sending a reply
 *   connectionContext  passed back to sendBack unchanged
 *   skipRequest        not 0: the module does nothing and returns 0
 *   url                the path and query: "/zep/<anything>" for a command
 *                      (over HTTP the request's target, over a WebSocket the
 *                      target of its upgrade request), or one holding
 *                      "/LoadZipFromBytes?type=<digit>&tkver=<v>&..." or
 *                      "/CheckUpdateFile?tkver=<v>&..."; others get the reply
 *                      "Invalid command"
 *   requestText        "/zep/": the JSON command, for example
 *                      {"id":"1","cmdId":"7","method":"VersionInfo","parameter":[]},
 *                      optionally followed by "\r\n\r\n" and a body; over
 *                      HTTP the body of the POST, over a WebSocket the text
 *                      of one message. "/CheckUpdateFile": a command whose
 *                      last two characters give way to the version ("]}").
 *                      "/LoadZipFromBytes": not read (pass "").
 *   binaryBody         the "/LoadZipFromBytes" upload, or NULL
 *   binaryBodyLength   its length in bytes (0 with NULL)
 *   clientSupported    1; 0 refuses the client (code -2205 in the reply)
 *   sendBack           the callback above; NULL sends nothing
 *   clientSocket       the client's connected TCP socket (a SOCKET on
 *                      Windows, whose values fit in 32 bits; a descriptor
 *                      elsewhere). The module only asks for its two endpoint
 *                      addresses, to find the page's user. 0 when there is
 *                      no socket: the user then stays unknown.
 *   origin             the page's Origin header, "" when it sent none;
 *                      SetServerInfo, Reboot, AddFirewall and GetLocalIP
 *                      are served only for "http://127.0.0.1" or
 *                      "https://127.0.0.1", with or without a port
 *   hostData1..3       kept with the request, never read; pass 0
 * Returns sendBack's result, or 0 when skipped or when no reply was sent. */
ZEP_EXPORT int32_t DistributeCommand(uint32_t sendBackHandle, uint64_t connectionContext, int32_t skipRequest,
                                     const char* url, const char* requestText, const uint8_t* binaryBody,
                                     uint32_t binaryBodyLength, uint32_t clientSupported, SendBackCallback sendBack,
                                     uint32_t clientSocket, const char* origin, intptr_t hostData1, intptr_t hostData2,
                                     intptr_t hostData3);
typedef int32_t (*ZepDistributeCommandFn)(uint32_t sendBackHandle, uint64_t connectionContext, int32_t skipRequest,
                                          const char* url, const char* requestText, const uint8_t* binaryBody,
                                          uint32_t binaryBodyLength, uint32_t clientSupported,
                                          SendBackCallback sendBack, uint32_t clientSocket, const char* origin,
                                          intptr_t hostData1, intptr_t hostData2, intptr_t hostData3);

/* Fetches the 524-byte record of "/GetEncryptedImageMap?...GUID=<key>":
 * 1 when found (size set to 524, buffer filled when not NULL), else 0. */
ZEP_EXPORT int32_t GetImage(const char* request, void* buffer, uint32_t* size);
typedef int32_t (*ZepGetImageFn)(const char* request, void* buffer, uint32_t* size);

/* Stores or erases the 524-byte record of
 * "/SetEncryptedImageMap?...GUID=<key>" (the key is everything after the
 * first "GUID="). With data, size may be 0 to 524: those bytes are stored and
 * the rest of the record is zeros. A size over 524 is refused whole: 0, and
 * the key's record stays as it was. With data NULL the key's record is
 * erased, whatever size says. Returns 1 when stored or erased, 0 when refused
 * or when the request names no key. */
ZEP_EXPORT int32_t SetImage(const char* request, const void* data, uint32_t size);
typedef int32_t (*ZepSetImageFn)(const char* request, const void* data, uint32_t size);

/* The file whitelist. key "addFileToWhiteList" adds path (0);
 * "fileInQROWhiteList" answers 0 when path is listed; -1 otherwise.
 * reserved must be 0. */
ZEP_EXPORT int32_t Reserved(const char* key, const char* path, intptr_t reserved);
typedef int32_t (*ZepReservedFn)(const char* key, const char* path, intptr_t reserved);

/* Does nothing; context is not read. */
ZEP_EXPORT void CloseWebSocket(void* context);
typedef void (*ZepCloseWebSocketFn)(void* context);

#ifdef __cplusplus
}
#endif

#endif /* ZEP_EXPORTS_H */
