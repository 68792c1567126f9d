// Texts between the Windows calls and zephost: UTF-8 to and from the system's
// wide characters, and the system's words for an error code.
#pragma once

#include <windows.h>

#include <string>

namespace zep::host {

inline std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(length > 0 ? length : 0, L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// length: in wide characters, or -1 up to the terminator.
inline std::string Utf8(const wchar_t* text, int length = -1) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string narrow(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), bytes, nullptr, nullptr);
  if (length < 0) narrow.pop_back();  // the terminator, counted too
  return narrow;
}

// The system's text for an error code, as Windows tools print it, with its
// code: "Module not found. (error 126)"; "(error N)" alone when it has none.
inline std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words = length != 0 ? Utf8(text, static_cast<int>(length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) words.pop_back();
  const std::string number = "(error " + std::to_string(code) + ")";
  return words.empty() ? number : words + " " + number;
}

}  // namespace zep::host
