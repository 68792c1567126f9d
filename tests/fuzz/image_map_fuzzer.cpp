// GetImage and SetImage against a model of the table.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "module/entry_points.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::map<std::string, std::array<uint8_t, 524>> model;
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t op = data[at];
    const size_t keyLength = data[at + 1] % 16;
    const size_t dataLength = static_cast<size_t>(data[at + 2]) * 3;
    at += 3;
    if (at + keyLength > size) break;
    const std::string key(reinterpret_cast<const char*>(data) + at, keyLength);
    at += keyLength;
    const size_t available = size - at < dataLength ? size - at : dataLength;
    const uint8_t* bytes = data + at;
    at += available;
    if (key.find('\0') != std::string::npos) continue;
    const std::string store = "/SetEncryptedImageMap?GUID=" + key;
    const std::string fetch = "/GetEncryptedImageMap?GUID=" + key;
    if ((op & 3) == 0) {
      const int32_t result = zep::SetImage(store.c_str(), bytes, static_cast<uint32_t>(available));
      if (key.empty() || available > 524) {
        if (result != 0) std::abort();
      } else {
        if (result != 1) std::abort();
        std::array<uint8_t, 524> record{};
        std::memcpy(record.data(), bytes, available);
        model[key] = record;
      }
    } else if ((op & 3) == 1) {
      const int32_t result = zep::SetImage(store.c_str(), nullptr, 0);
      if (result != (key.empty() ? 0 : 1)) std::abort();
      model.erase(key);
    } else {
      std::array<uint8_t, 600> out;
      out.fill(0xCC);
      uint32_t length = 7;
      const int32_t result = zep::GetImage(fetch.c_str(), (op & 4) ? nullptr : out.data(), &length);
      auto entry = model.find(key);
      if (entry == model.end()) {
        if (result != 0 || length != 7) std::abort();
      } else {
        if (result != 1 || length != 524) std::abort();
        if (!(op & 4) && (std::memcmp(out.data(), entry->second.data(), 524) != 0 || out[524] != 0xCC)) std::abort();
      }
    }
  }
  return 0;
}
