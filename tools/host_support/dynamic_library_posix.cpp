#include <dlfcn.h>

#include "host_support/dynamic_library.h"

namespace zep::host {

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  native_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (native_ == nullptr) error_ = dlerror();
  return native_ != nullptr;
}

void DynamicLibrary::Close() {
  if (native_ != nullptr) dlclose(native_);
  native_ = nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const { return native_ == nullptr ? nullptr : dlsym(native_, name); }

}  // namespace zep::host
