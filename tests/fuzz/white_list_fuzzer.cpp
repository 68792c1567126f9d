// Reserved against a model of the whitelist.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "module/entry_points.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::set<std::string> model;
  if (size < 2) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t split = text.find('\0');
  std::string key = split == std::string::npos ? std::string() : text.substr(0, split);
  const std::string path = split == std::string::npos ? text : text.substr(split + 1);
  if (path.find('\0') != std::string::npos) return 0;
  if (data[0] & 1) key = (data[0] & 2) ? "addFileToWhiteList" + key : "fileInQROWhiteList" + key;
  const intptr_t reserved = (data[1] & 0x80) ? data[1] : 0;
  const int32_t result = zep::Reserved(key.c_str(), path.c_str(), reserved);
  std::string normalized = path;
  for (char& c : normalized)
    if (c == '\\') c = '/';
  int32_t expected = -1;
  if (reserved == 0 && key.compare(0, 18, "fileInQROWhiteList") == 0)
    expected = model.count(normalized) ? 0 : -1;
  else if (reserved == 0 && key.compare(0, 18, "addFileToWhiteList") == 0) {
    model.insert(normalized);
    expected = 0;
  }
  if (result != expected) std::abort();
  return 0;
}
