#include "settings/paths.h"

#include <cstdio>
#include <cstring>

#include "common/find_no_case.h"
#include "platform/file_system.h"
#include "platform/user_folders.h"

namespace zep {

namespace {

void TrimTrailing(std::string& text, char c) {
  while (!text.empty() && text.back() == c) text.pop_back();
}

// "\AppData\Roaming" written with this platform's separator.
std::string WithSeparators(const char* windowsPath) {
  std::string path(windowsPath);
  for (char& c : path)
    if (c == '\\') c = platform::kPathSeparator;
  return path;
}

}  // namespace

void TrimTrailingSeparators(std::string& text) {
  TrimTrailing(text, ' ');
  TrimTrailing(text, '\\');
  TrimTrailing(text, '/');
}

void TrimTrailingSeparators(char* text) {
  if (text == nullptr) return;
  std::string trimmed(text);
  TrimTrailingSeparators(trimmed);
  text[trimmed.size()] = '\0';
}

bool CopyToPathBuffer(char* buffer, const std::string& text) {
  if (text.size() >= kMaxPath) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

std::string GetRoamingAppDataFolder() { return platform::RoamingAppDataFolder(); }

bool GetLocalLowFolder(char* buffer) {
  std::string folder = GetRoamingAppDataFolder();
  if (folder.empty()) return false;
  if (folder.size() > kMaxPath - 1) folder.resize(kMaxPath - 1);
  TrimTrailingSeparators(folder);
  const std::string roaming = WithSeparators("\\AppData\\Roaming");
  int found = FindNoCase(folder.c_str(), roaming.c_str(), folder.size());
  if (found >= 0) folder = folder.substr(0, static_cast<size_t>(found)) + WithSeparators("\\AppData\\LocalLow");
  // "LocalLow" is one character longer than "Roaming": keep within the buffer.
  if (folder.size() > kMaxPath - 1) folder.resize(kMaxPath - 1);
  std::memcpy(buffer, folder.c_str(), folder.size() + 1);
  return true;
}

void GetVendorLocalLowFolder(char* buffer) {
  char localLow[kMaxPath] = {0};
  // Without a user folder there is no vendor folder (not one at the root).
  if (!GetLocalLowFolder(localLow)) {
    buffer[0] = '\0';
    return;
  }
  TrimTrailingSeparators(localLow);
  const char sep[2] = {platform::kPathSeparator, '\0'};
  std::string vendor = std::string(localLow) + sep + "Corvantis" + sep;
  if (!CopyToPathBuffer(buffer, vendor)) buffer[0] = '\0';
}

}  // namespace zep
