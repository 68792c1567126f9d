/* A minimal host: loads the module, starts it, hands it one command, prints
 * the reply and stops it. Usage: minimal_host [path of zep.dll or libzep.so] */
#include <stdio.h>
#include <string.h>

#include "zep_exports.h"

#ifdef _WIN32
#include <windows.h>
typedef HMODULE Library;
static Library OpenLibrary(const char* path) { return LoadLibraryA(path); }
static void* FindEntry(Library library, const char* name) { return (void*)GetProcAddress(library, name); }
static void CloseLibrary(Library library) { FreeLibrary(library); }
static void PrintLoadError(const char* path) {
  char text[512] = "";
  DWORD code = GetLastError();
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text, sizeof text, NULL);
  fprintf(stderr, "cannot load %s: %s", path, text);
}
#else
#include <dlfcn.h>
typedef void* Library;
static Library OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* FindEntry(Library library, const char* name) { return dlsym(library, name); }
static void CloseLibrary(Library library) { dlclose(library); }
static void PrintLoadError(const char* path) { fprintf(stderr, "cannot load %s: %s\n", path, dlerror()); }
#endif
#ifndef ZEP_MODULE_PATH /* the build may name the installed module */
#ifdef _WIN32
#define ZEP_MODULE_PATH "zep.dll"
#else
#define ZEP_MODULE_PATH "./libzep.so"
#endif
#endif

/* The host's side of a reply: deliver replyText on the connection that
 * handle and context name. Here there is no connection; it is printed. */
static int32_t SendBack(uint32_t handle, uint64_t context, const char* replyText, const void* data, uint32_t dataLength,
                        intptr_t reserved) {
  (void)context, (void)data, (void)dataLength, (void)reserved;
  printf("reply on connection %u:\n%s", (unsigned)handle, replyText);
  return 0; /* delivered */
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : ZEP_MODULE_PATH;
  Library library = OpenLibrary(path);
  if (!library) {
    PrintLoadError(path);
    return 1;
  }
  /* ISO C has no cast from a data pointer to a function pointer: copy it. */
  ZepDoActionFn doAction;
  ZepDistributeCommandFn distributeCommand;
  void* entry = FindEntry(library, "DoAction");
  memcpy(&doAction, &entry, sizeof doAction);
  entry = FindEntry(library, "DistributeCommand");
  memcpy(&distributeCommand, &entry, sizeof distributeCommand);
  if (!doAction || !distributeCommand) {
    fprintf(stderr, "%s is not the zep module\n", path);
    CloseLibrary(library);
    return 1;
  }

  /* Start. A host that serves per-user copies passes its executable's path. */
  doAction(ZEP_ACTION_START, NULL, NULL);
  const char* command = "{\"id\":\"1\",\"cmdId\":\"7\",\"method\":\"TKVersion\",\"parameter\":[]}";
  /* Handle 1 on context 0; no body, a supported client, no socket, no origin. */
  int32_t result = distributeCommand(1, 0, 0, "/zep/command", command, NULL, 0, 1, SendBack, 0, "", 0, 0, 0);
  printf("DistributeCommand returned %d\n", (int)result);
  doAction(ZEP_ACTION_STOP, NULL, NULL);
  CloseLibrary(library);
  return 0;
}
