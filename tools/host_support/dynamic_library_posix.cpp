#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>

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

std::string DynamicLibrary::LoadedPath() const {
  link_map* map = nullptr;
  char resolved[PATH_MAX];
  if (native_ == nullptr || dlinfo(native_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr ||
      realpath(map->l_name, resolved) == nullptr)
    return {};
  return resolved;
}

void* DynamicLibrary::Symbol(const char* name) const { return native_ == nullptr ? nullptr : dlsym(native_, name); }

}  // namespace zep::host
