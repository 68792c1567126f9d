// INI ("private profile") files with the Windows semantics: section and key
// names compare without regard to case, values are trimmed, a missing file or
// key yields the default, and a write creates the file and section as needed
// and keeps every other line.
#pragma once

#include <cstdint>

namespace zep::platform {

// Files other users may write are read up to this size: a larger one is not
// read at all, so that padding it cannot slow every reader down.
constexpr uint64_t kMaxProfileFileBytes = 1u << 20;

enum class ProfileRead {
  kRead,      // the value, or the default for a missing file or key
  kTooLarge,  // the file is larger than kMaxProfileFileBytes: not read
  kFailed,    // the file is there but could not be read (no descriptor or memory left, access, sharing)
};

// Copies the value (or the default, less trailing blanks, when the key is
// missing) into out, cut to outSize - 1 characters. Returns the number of
// characters copied, terminator excluded. A file that is too large or cannot
// be read gives the default too; *result, when given, tells which it was.
uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file, ProfileRead* result = nullptr);

// Writes key = value in section; false when the file could not be written
// (a file larger than kMaxProfileFileBytes is not).
bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file);

}  // namespace zep::platform
