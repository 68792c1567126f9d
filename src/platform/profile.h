// INI ("private profile") files with the Windows semantics: section and key
// names compare without regard to case, values are trimmed, a missing file or
// key yields the default, and a write creates the file and section as needed
// and keeps every other line.
#pragma once

#include <cstdint>

namespace zep::platform {

// Copies the value (or the default, less trailing blanks, when the key is
// missing) into out, cut to outSize - 1 characters. Returns the number of
// characters copied, terminator excluded.
uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file);

// Writes key = value in section; false when the file could not be written.
bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file);

}  // namespace zep::platform
