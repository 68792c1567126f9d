#include <windows.h>

#include <string>

#include "platform/profile.h"

namespace zep::platform {

namespace {

// The size is asked first: the profile functions read a whole file, however large.
bool WithinBound(const char* file) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(file, GetFileExInfoStandard, &data)) return true;  // missing: the default
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (size <= kMaxProfileFileBytes) return true;
  SetLastError(ERROR_FILE_TOO_LARGE);
  return false;
}

}  // namespace

uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file, bool* tooLarge) {
  if (file != nullptr && !WithinBound(file)) {
    if (tooLarge != nullptr) *tooLarge = true;
    // The default as GetPrivateProfileStringA gives it: less its trailing blanks.
    std::string fallback = defaultValue != nullptr ? defaultValue : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
    if (out == nullptr || outSize == 0) return 0;
    const size_t length = fallback.size() < outSize - 1 ? fallback.size() : outSize - 1;
    fallback.copy(out, length);
    out[length] = '\0';
    return static_cast<uint32_t>(length);
  }
  return GetPrivateProfileStringA(section, key, defaultValue, out, outSize, file);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file) {
  if (file != nullptr && !WithinBound(file)) return false;
  return WritePrivateProfileStringA(section, key, value, file) != 0;
}

}  // namespace zep::platform
