// Text helpers for paths and the current user's folders.
#pragma once

#include <cstddef>
#include <string>

namespace zep {

constexpr size_t kMaxPath = 260;

// Removes trailing blanks, then backslashes, then slashes.
void TrimTrailingSeparators(char* text);
void TrimTrailingSeparators(std::string& text);

std::string GetRoamingAppDataFolder();
// Fills a buffer of kMaxPath bytes; false (buffer untouched) when the roaming
// folder is unknown.
bool GetLocalLowFolder(char* buffer);
// Fills a buffer of kMaxPath bytes with the LocalLow folder and "Corvantis".
void GetVendorLocalLowFolder(char* buffer);

// Copies text into a fixed buffer of kMaxPath bytes; false (and an empty
// buffer) when it does not fit.
bool CopyToPathBuffer(char* buffer, const std::string& text);

}  // namespace zep
