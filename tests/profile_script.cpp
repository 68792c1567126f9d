// Runs a script of profile reads and writes through this target's profile
// functions and prints each result, so that the targets can be compared. In
// the Windows build a third argument "system" runs the system's own profile
// functions instead, which the module's are held to.
//   R|file|section|key          -> "R <copied> [<value>]"
//   W|file|section|key|value    -> "W <0|1>"
// A field "@" is a null pointer.
// The second argument goes before every file name: Windows looks a bare file
// name up in its own folder, so the Windows runner is given ".\".
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/profile.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

bool useSystem = false;

uint32_t Read(const char* section, const char* key, char* value, uint32_t size, const char* file) {
#ifdef _WIN32
  if (useSystem) return GetPrivateProfileStringA(section, key, "<default>", value, size, file);
#endif
  return zep::platform::ReadProfileValue(section, key, "<default>", value, size, file);
}

bool Write(const char* section, const char* key, const char* value, const char* file) {
#ifdef _WIN32
  if (useSystem) return WritePrivateProfileStringA(section, key, value, file) != 0;
#endif
  return zep::platform::WriteProfileValue(section, key, value, file);
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '|')
      fields.emplace_back();
    else
      fields.back() += c;
  }
  return fields;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::string folder = argv[2];
  useSystem = argc == 4 && std::strcmp(argv[3], "system") == 0;
  std::ifstream script(argv[1], std::ios::binary);
  for (std::string line; std::getline(script, line);) {
    std::vector<std::string> f = Fields(line);
    if (f.size() > 1) f[1] = folder + f[1];
    auto text = [&f](size_t i) { return i < f.size() && f[i] != "@" ? f[i].c_str() : nullptr; };
    if (f[0] == "R" && f.size() == 4) {
      char value[520] = {0};
      const uint32_t copied = Read(text(2), text(3), value, sizeof value, f[1].c_str());
      std::printf("R %u [%s]\n", copied, value);
    } else if (f[0] == "W" && f.size() == 5) {
      std::printf("W %d\n", Write(text(2), text(3), text(4), f[1].c_str()) ? 1 : 0);
    } else {
      std::printf("? %s\n", line.c_str());
    }
  }
  return 0;
}
