// The Windows back end's own owners of handles and blocks, released on every
// path, an exception included. (Windows Sockets are started one way:
// SocketsSession of platform/network.h.)
// Include after the Windows headers the including file needs.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <cstdint>
#include <new>

namespace zep::platform::win {

// The Native state of a platform object that holds one handle, made without
// throwing: without memory for it the handle is closed and null returned.
template <typename Native>
Native* AdoptHandle(HANDLE handle) {
  auto* native = new (std::nothrow) Native{handle};
  if (native == nullptr) {
    CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return native;
}

// A handle as log lines print it.
inline unsigned HandleValue(HANDLE handle) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)); }

struct HandleCloser {
  HANDLE handle = nullptr;
  ~HandleCloser() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  // The handle, no longer closed here.
  HANDLE Release() {
    HANDLE released = handle;
    handle = nullptr;
    return released;
  }
};

struct LocalBlock {
  HLOCAL block = nullptr;
  ~LocalBlock() {
    if (block != nullptr) LocalFree(block);
  }
};

struct HeapBlock {
  PVOID block = nullptr;
  ~HeapBlock() {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
  }
};

struct LibraryCloser {
  HMODULE library = nullptr;
  ~LibraryCloser() {
    if (library != nullptr) FreeLibrary(library);
  }
};

struct SocketCloser {
  SOCKET socket = INVALID_SOCKET;
  ~SocketCloser() {
    if (socket != INVALID_SOCKET) closesocket(socket);
  }
};

}  // namespace zep::platform::win
