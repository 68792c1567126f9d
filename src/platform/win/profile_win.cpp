#include <windows.h>

#include "platform/profile.h"

namespace zep::platform {

uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file) {
  return GetPrivateProfileStringA(section, key, defaultValue, out, outSize, file);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file) {
  return WritePrivateProfileStringA(section, key, value, file) != 0;
}

}  // namespace zep::platform
