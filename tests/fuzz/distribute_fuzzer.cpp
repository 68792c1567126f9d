// DistributeCommand with the url, request text and body taken from the input.
#include <cstdint>
#include <cstring>
#include <string>

#include "module/entry_points.h"

namespace {

int replies = 0;

int32_t Drop(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  ++replies;
  // Every reply is a NUL-terminated text.
  return static_cast<int32_t>(std::strlen(text) & 0x7FFFFFFF);
}

// Commands that end the process, launch programs or reach other hosts are not
// run; a \u escape could spell their names.
bool Harmless(const std::string& text) {
  for (const char* word : {"\\u", "Reboot", "AddFirewall", "CheckQROPort"})
    if (text.find(word) != std::string::npos) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (!Harmless(input)) return 0;
  const size_t first = input.find('\0');
  const size_t second = first == std::string::npos ? std::string::npos : input.find('\0', first + 1);
  static const char* const kUrls[] = {"/zep/f", "/LoadZipFromBytes", "/CheckUpdateFile", "/other"};
  std::string url = kUrls[data[0] & 3];
  std::string text = input;
  std::string body;
  if (first != std::string::npos) {
    url += input.substr(0, first);
    text = input.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (second != std::string::npos) body = input.substr(second + 1);
  }
  const uint32_t supported = (data[0] & 4) ? 0 : 1;
  const char* origin = (data[0] & 8) ? "http://127.0.0.1:1" : "http://example.test";
  const bool skipped = (data[0] & 16) != 0;
  const bool answerable = (data[0] & 32) == 0;
  replies = 0;
  zep::DistributeCommand(1, 2, skipped ? 1 : 0, url.c_str(), text.c_str(),
                         body.empty() ? nullptr : reinterpret_cast<const uint8_t*>(body.data()),
                         static_cast<uint32_t>(body.size()), supported, answerable ? &Drop : nullptr, 0, origin, 0, 0,
                         0);
  // A request that is not skipped and can be answered gets exactly one reply.
  if (replies != (!skipped && answerable ? 1 : 0)) __builtin_trap();
  return 0;
}
