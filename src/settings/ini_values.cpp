#include "settings/ini_values.h"

#include "common/decimal_text.h"

namespace zep {

int ParseIniInt(const std::string& text) { return ParseDecimalPrefix(text); }

bool ParseIniBool(const std::string& text) {
  if (text.size() != 4) return false;
  const char* expected = "true";
  for (size_t i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != expected[i]) return false;
  }
  return true;
}

}  // namespace zep
