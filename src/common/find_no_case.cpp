#include "common/find_no_case.h"

#include <cstring>

namespace zep {

namespace {
char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

int FindNoCase(const char* text, const char* pattern, size_t length) {
  if (text == nullptr || pattern == nullptr) return -1;
  const size_t patternLength = std::strlen(pattern);
  if (patternLength == 0 || length == 0 || patternLength > length) return -1;
  for (size_t start = 0; start + patternLength <= length; ++start) {
    size_t i = 0;
    while (i < patternLength && FoldAscii(text[start + i]) == FoldAscii(pattern[i])) ++i;
    if (i == patternLength) return static_cast<int>(start);
  }
  return -1;
}

}  // namespace zep
