#include <windows.h>

#include "host_support/dynamic_library.h"

namespace zep::host {

namespace {

// The system's text for an error code, as Windows tools print it, with its code.
std::string SystemMessage(DWORD code) {
  char text[512] = {0};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
  const std::string number = "(error " + std::to_string(code) + ")";
  return length == 0 ? number : std::string(text, length) + " " + number;
}

}  // namespace

bool DynamicLibrary::Open(const std::string& path) {
  Close();
  native_ = LoadLibraryA(path.c_str());
  if (native_ == nullptr) error_ = SystemMessage(GetLastError());
  return native_ != nullptr;
}

void DynamicLibrary::Close() {
  if (native_ != nullptr) FreeLibrary(static_cast<HMODULE>(native_));
  native_ = nullptr;
}

std::string DynamicLibrary::LoadedPath() const {
  if (native_ == nullptr) return {};
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(static_cast<HMODULE>(native_), path, 32768);
  if (length == 0 || length >= 32768) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string narrow(bytes > 0 ? bytes : 0, '\0');
  if (bytes > 0)
    WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return native_ == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(native_), name));
}

}  // namespace zep::host
