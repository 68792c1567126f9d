// The table of 524-byte records that the host's modules exchange by key.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace zep {

constexpr uint32_t kEncryptedImageMapSize = 524;

struct EncryptedImageMap {
  std::array<uint8_t, kEncryptedImageMapSize> bytes{};
};

using ImageMapTable = std::map<std::string, EncryptedImageMap>;

constexpr const char* kGetImagePrefix = "/GetEncryptedImageMap?";
constexpr const char* kSetImagePrefix = "/SetEncryptedImageMap?";

// Everything after the first "GUID=" when the text holds the prefix anywhere;
// empty otherwise.
std::string GetRequestGUID(const char* request, const char* prefix);

}  // namespace zep
