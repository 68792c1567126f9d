// Reading an access token, as the Windows back end's files need it.
// Include after the Windows headers the including file needs.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

namespace zep::platform::win {

// The token's information of one class; empty when it cannot be had.
inline std::vector<unsigned char> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD length = 0;
  GetTokenInformation(token, kind, nullptr, 0, &length);
  std::vector<unsigned char> information(length);
  if (length == 0 || !GetTokenInformation(token, kind, information.data(), length, &length)) information.clear();
  return information;
}

// The token's user as a SID text ("S-1-5-21-..."); empty when it cannot be had.
inline std::string TokenUserText(HANDLE token) {
  const std::vector<unsigned char> user = TokenInformation(token, TokenUser);
  char* text = nullptr;
  if (user.empty() || !ConvertSidToStringSidA(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &text))
    return std::string();
  std::string sid = text;
  LocalFree(text);
  return sid;
}

}  // namespace zep::platform::win
