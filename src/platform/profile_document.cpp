#include "platform/profile_document.h"

#include <cstring>

namespace zep::platform {

uint32_t CopyOut(const std::string& value, char* out, uint32_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  uint32_t length = static_cast<uint32_t>(value.size());
  if (length > outSize - 1) length = outSize - 1;
  std::memcpy(out, value.data(), length);
  out[length] = '\0';
  return length;
}

std::string DefaultText(const char* defaultValue) {
  std::string text = defaultValue == nullptr ? std::string() : std::string(defaultValue);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

namespace {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kBlanks = " \t\r\n\v\f";

std::string TrimLeft(const std::string& text) {
  const size_t begin = text.find_first_not_of(kBlanks);
  return begin == std::string::npos ? std::string() : text.substr(begin);
}

std::string TrimRight(const std::string& text) {
  const size_t end = text.find_last_not_of(kBlanks);
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string Trim(const std::string& text) { return TrimRight(TrimLeft(text)); }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

ProfileDocument::ProfileDocument(const std::string& text) {
  size_t at = 0;
  if (text.compare(0, 3, kByteOrderMark) == 0) {
    byteOrderMark_ = true;
    at = 3;
  }
  sections_.push_back(Section{std::string(), {}});
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(at, end - at));
    at = end + 1;
    if (line.empty()) continue;
    if (line[0] == '[') {
      const size_t close = line.rfind(']');
      if (close != std::string::npos) {
        sections_.push_back(Section{Trim(line.substr(1, close - 1)), {}});
        continue;
      }
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos)
      sections_.back().keys.push_back(Key{line, std::nullopt});
    else
      sections_.back().keys.push_back(Key{TrimRight(line.substr(0, equals)), TrimLeft(line.substr(equals + 1))});
  }
}

ProfileDocument::Section* ProfileDocument::FindSection(const std::string& name) {
  for (Section& section : sections_)
    if (SameName(section.name, name)) return &section;
  return nullptr;
}

const ProfileDocument::Section* ProfileDocument::FindSection(const std::string& name) const {
  for (const Section& section : sections_)
    if (SameName(section.name, name)) return &section;
  return nullptr;
}

std::optional<std::string> ProfileDocument::Read(const std::string& sectionName, const std::string& keyName) const {
  const Section* section = FindSection(Trim(sectionName));
  if (section == nullptr) return std::nullopt;
  const std::string wanted = Trim(keyName);
  for (const Key& key : section->keys) {
    if (!SameName(key.name, wanted)) continue;
    if (!key.value) return std::nullopt;
    const std::string& value = *key.value;
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
      return value.substr(1, value.size() - 2);
    return value;
  }
  return std::nullopt;
}

bool ProfileDocument::Write(const std::string& sectionName, const std::string& keyName,
                            const std::optional<std::string>& value) {
  const std::string name = Trim(sectionName);
  const std::string keyText = TrimLeft(keyName);
  const std::optional<std::string> stored = value ? std::optional<std::string>(TrimLeft(*value)) : std::nullopt;
  Section* section = FindSection(name);
  if (section == nullptr) {
    if (!stored) return false;
    sections_.push_back(Section{name, {Key{keyText, stored}}});
    return true;
  }
  const std::string wanted = TrimRight(keyText);
  for (auto key = section->keys.begin(); key != section->keys.end(); ++key) {
    if (!SameName(key->name, wanted)) continue;
    if (!stored) {
      section->keys.erase(key);
      return true;
    }
    if (key->value == stored) return false;
    key->value = stored;
    return true;
  }
  if (!stored) return false;
  section->keys.push_back(Key{keyText, stored});
  return true;
}

std::string ProfileDocument::Text() const {
  std::string text = byteOrderMark_ ? kByteOrderMark : "";
  for (const Section& section : sections_) {
    // A section without a name is written without a header, as Windows does
    // (its keys then read as the previous section's).
    if (!section.name.empty()) text += "[" + section.name + "]\r\n";
    for (const Key& key : section.keys) {
      text += key.name;
      if (key.value) text += "=" + *key.value;
      text += "\r\n";
    }
  }
  return text;
}

}  // namespace zep::platform
