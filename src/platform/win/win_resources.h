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

// Each owner below holds one handle or block, closed when it ends; none is
// copied, which would close it twice.
struct HandleCloser {
  HANDLE handle;
  explicit HandleCloser(HANDLE owned = nullptr) : handle(owned) {}
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
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
  HLOCAL block;
  explicit LocalBlock(HLOCAL owned = nullptr) : block(owned) {}
  LocalBlock(const LocalBlock&) = delete;
  LocalBlock& operator=(const LocalBlock&) = delete;
  ~LocalBlock() {
    if (block != nullptr) LocalFree(block);
  }
};

struct HeapBlock {
  PVOID block;
  explicit HeapBlock(PVOID owned = nullptr) : block(owned) {}
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
  }
};

struct LibraryCloser {
  HMODULE library;
  explicit LibraryCloser(HMODULE owned = nullptr) : library(owned) {}
  LibraryCloser(const LibraryCloser&) = delete;
  LibraryCloser& operator=(const LibraryCloser&) = delete;
  ~LibraryCloser() {
    if (library != nullptr) FreeLibrary(library);
  }
};

struct SocketCloser {
  SOCKET socket;
  explicit SocketCloser(SOCKET owned = INVALID_SOCKET) : socket(owned) {}
  SocketCloser(const SocketCloser&) = delete;
  SocketCloser& operator=(const SocketCloser&) = delete;
  ~SocketCloser() {
    if (socket != INVALID_SOCKET) closesocket(socket);
  }
};

}  // namespace zep::platform::win
