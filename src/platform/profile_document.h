// The text of a private-profile (INI) file, read and edited as the Windows
// profile functions do:
//   - lines are trimmed, blank lines are dropped;
//   - "[name]" (up to the last "]") opens a section, with the name trimmed;
//     a "[" line without "]" is an ordinary line;
//   - "name=value" is a key, trimmed around "="; any other line (comments
//     included) is a key without a value and is kept as it stands;
//   - lines before the first section form a section without a name;
//   - names compare without regard to ASCII case; only the first section of
//     a name, and the first key of a name in it, count;
//   - a value enclosed in a pair of equal quotes (" or ') reads without them;
//   - a write keeps every other line and writes the file back as
//     "[name]" and "name=value" lines ended by CR LF, behind the byte order
//     mark if the file had one; a write that changes nothing writes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zep::platform {

// Copies a value out as the profile reader does: cut to outSize - 1
// characters and terminated; the number of characters copied.
uint32_t CopyOut(const std::string& value, char* out, uint32_t outSize);
// The default as the profile reader gives it: less its trailing blanks.
std::string DefaultText(const char* defaultValue);

class ProfileDocument {
 public:
  explicit ProfileDocument(const std::string& text);

  // The key's value as the profile reader gives it (quotes stripped); none
  // when the key, its section or its value is missing.
  std::optional<std::string> Read(const std::string& section, const std::string& key) const;

  // Sets (or, with no value, deletes) the key; false when nothing changed,
  // in which case the file need not be written.
  bool Write(const std::string& section, const std::string& key, const std::optional<std::string>& value);

  std::string Text() const;

 private:
  struct Key {
    std::string name;
    std::optional<std::string> value;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };

  Section* FindSection(const std::string& name);
  const Section* FindSection(const std::string& name) const;

  bool byteOrderMark_ = false;
  std::vector<Section> sections_;
};

}  // namespace zep::platform
