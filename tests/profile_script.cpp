// Runs a script of profile reads and writes through this target's profile
// functions (the real Windows ones in the Windows build) and prints each
// result, so that the two targets can be compared.
//   R|file|section|key          -> "R <copied> [<value>]"
//   W|file|section|key|value    -> "W <0|1>"
// A field "@" is a null pointer.
// The second argument goes before every file name: Windows looks a bare file
// name up in its own folder, so the Windows runner is given ".\".
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/profile.h"

namespace {

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
  if (argc != 3) return 2;
  const std::string folder = argv[2];
  std::ifstream script(argv[1], std::ios::binary);
  for (std::string line; std::getline(script, line);) {
    std::vector<std::string> f = Fields(line);
    if (f.size() > 1) f[1] = folder + f[1];
    auto text = [&f](size_t i) { return i < f.size() && f[i] != "@" ? f[i].c_str() : nullptr; };
    if (f[0] == "R" && f.size() == 4) {
      char value[520] = {0};
      const uint32_t copied =
          zep::platform::ReadProfileValue(text(2), text(3), "<default>", value, sizeof value, f[1].c_str());
      std::printf("R %u [%s]\n", copied, value);
    } else if (f[0] == "W" && f.size() == 5) {
      std::printf("W %d\n", zep::platform::WriteProfileValue(text(2), text(3), text(4), f[1].c_str()) ? 1 : 0);
    } else {
      std::printf("? %s\n", line.c_str());
    }
  }
  return 0;
}
