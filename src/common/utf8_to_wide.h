// UTF-8 to UTF-16 for paths handed to wide-character file functions.
#pragma once

#include <cstddef>
#include <string>

namespace zep {

// Appends the UTF-16 form of the bytes to out. Input the strict decoder
// rejects goes through a lenient one (over-long forms allowed); input both
// reject appends nothing.
void Utf8ToWide(const char* bytes, size_t length, std::u16string& out);

}  // namespace zep
