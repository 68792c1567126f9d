#pragma once

#include <string>

namespace zep::platform {

// Semaphore name for an event name such as "Global\x": one leading slash and
// no other slashes or backslashes.
inline std::string SemaphoreNameFor(const std::string& eventName) {
  std::string name = "/";
  for (char c : eventName) name += (c == '\\' || c == '/') ? '_' : c;
  if (name.size() > 250) name.resize(250);
  return name;
}

}  // namespace zep::platform
