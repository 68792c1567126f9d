#include <windows.h>

#include "host_support/dynamic_library.h"
#include "host_support/system_text_win.h"

namespace zep::host {

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  native_ = LoadLibraryA(path.c_str());
  if (native_ == nullptr) error_ = SystemMessage(GetLastError());
  return native_ != nullptr;
}

void DynamicLibrary::Close() {
  if (native_ != nullptr) FreeLibrary(static_cast<HMODULE>(native_));
  native_ = nullptr;
}

std::string DynamicLibrary::LoadedPath() const {
  if (native_ == nullptr) return {};
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(native_), path, 32768);
  if (length == 0 || length >= 32768) return {};
  return Utf8(path, static_cast<int>(length));
}

void* DynamicLibrary::Symbol(const char* name) const {
  return native_ == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(native_), name));
}

}  // namespace zep::host
