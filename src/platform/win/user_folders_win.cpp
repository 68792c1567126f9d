// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <shlobj.h>

#include "platform/user_folders.h"

namespace zep::platform {

std::string RoamingAppDataFolder() {
  IMalloc* allocator = nullptr;
  if (FAILED(SHGetMalloc(&allocator)) || allocator == nullptr) return std::string();
  char path[MAX_PATH] = {0};
  LPITEMIDLIST items = nullptr;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_APPDATA, &items))) {
    if (!SHGetPathFromIDListA(items, path)) path[0] = '\0';
    allocator->Free(items);
  }
  allocator->Release();
  return std::string(path);
}

}  // namespace zep::platform
