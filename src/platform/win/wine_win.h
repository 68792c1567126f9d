// Whether this process runs under Wine, for what only Wine does differently.
// Include after windows.h.
#pragma once

#include <windows.h>

namespace zep::platform::win {

// Wine's ntdll exports wine_get_version; Windows' has no such export.
inline bool UnderWine() {
  static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

}  // namespace zep::platform::win
