#include <windows.h>

#include "platform/dynamic_library.h"

namespace zep::platform {

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  native_ = LoadLibraryA(path.c_str());
  if (native_ == nullptr) error_ = "LoadLibrary failed: " + std::to_string(GetLastError());
  return native_ != nullptr;
}

void DynamicLibrary::Close() {
  if (native_ != nullptr) FreeLibrary(static_cast<HMODULE>(native_));
  native_ = nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return native_ == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(native_), name));
}

}  // namespace zep::platform
