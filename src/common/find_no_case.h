// Finding text regardless of ASCII case.
#pragma once

#include <cstddef>

namespace zep {

// Index of the first occurrence of pattern in the first length characters of
// text, ignoring ASCII case; -1 when there is none, the pattern is empty or
// the length is 0.
int FindNoCase(const char* text, const char* pattern, size_t length);

}  // namespace zep
