#include <windows.h>

#include <cstring>
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
                          const char* file, ProfileRead* result) {
  ProfileRead ignored;
  ProfileRead& outcome = result != nullptr ? *result : ignored;
  outcome = ProfileRead::kRead;
  if (file != nullptr && !WithinBound(file)) {
    outcome = ProfileRead::kTooLarge;
    // The default as GetPrivateProfileStringA gives it: less its trailing blanks.
    std::string fallback = defaultValue != nullptr ? defaultValue : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
    if (out == nullptr || outSize == 0) return 0;
    const size_t length = fallback.size() < outSize - 1 ? fallback.size() : outSize - 1;
    fallback.copy(out, length);
    out[length] = '\0';
    return static_cast<uint32_t>(length);
  }
  // The reader answers the default for a file it could not open as for a
  // missing one; only the error code tells them apart. A value other than
  // the default was read, whatever code was left behind.
  SetLastError(ERROR_SUCCESS);
  const DWORD copied = GetPrivateProfileStringA(section, key, defaultValue, out, outSize, file);
  switch (GetLastError()) {
    case ERROR_SUCCESS:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_MORE_DATA:
      break;
    default:
      if (out != nullptr && outSize != 0 && std::strcmp(out, defaultValue != nullptr ? defaultValue : "") == 0)
        outcome = ProfileRead::kFailed;
  }
  return copied;
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file) {
  if (file != nullptr && !WithinBound(file)) return false;
  return WritePrivateProfileStringA(section, key, value, file) != 0;
}

}  // namespace zep::platform
