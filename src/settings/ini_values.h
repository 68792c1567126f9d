// The section of the settings and how its values read.
#pragma once

#include <string>

namespace zep {

constexpr const char* kConfigurationSection = "TK";

// Decimal text: leading blanks, an optional sign, digits up to the first other
// character; no digits read as 0.
int ParseIniInt(const std::string& text);
// True exactly for "TRUE" in any letter case.
bool ParseIniBool(const std::string& text);

}  // namespace zep
