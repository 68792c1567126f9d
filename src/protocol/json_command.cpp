#include "protocol/json_command.h"

#include <cstdio>

namespace zep {

namespace {

// Whether arrays and objects nest deeper than the bound anywhere in the text.
// Brackets inside strings and comments (which the reader takes) do not count.
bool NestedTooDeep(const std::string& text) {
  // Too few openings to nest that deep, whatever else the text holds.
  size_t openings = 0;
  for (const char c : text) openings += (c == '[') | (c == '{');
  if (openings <= static_cast<size_t>(kMaxCommandNesting)) return false;
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '/' && i + 1 < text.size() && (text[i + 1] == '*' || text[i + 1] == '/')) {
      const bool block = text[i + 1] == '*';
      const size_t end = block ? text.find("*/", i + 2) : text.find_first_of("\r\n", i + 2);
      if (end == std::string::npos) return false;  // the rest is a comment
      i = block ? end + 1 : end;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxCommandNesting) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

JsonCommand::JsonCommand(const std::string& commandText) {
  if (commandText.size() > kMaxCommandTextBytes || NestedTooDeep(commandText)) return;
  // JsonCpp throws for some texts it refuses: such a text simply does not parse.
  try {
    Json::Reader reader;
    parsed = reader.parse(commandText.data(), commandText.data() + commandText.size(), root, false);
  } catch (...) {
    parsed = false;
  }
  if (!parsed) root = Json::Value();
}

const Json::Value* JsonCommand::Member(const char* key) const {
  if (!parsed || !root.isObject()) return nullptr;
  return root.find(key, key + std::char_traits<char>::length(key));
}

std::string JsonCommand::Text(const char* key) const {
  const Json::Value* value = Member(key);
  return value != nullptr ? TextOf(*value) : std::string();
}

std::string JsonCommand::TextOf(const Json::Value& value) {
  if (value.isString()) return value.asString();
  if (value.isBool()) return value.asBool() ? "true" : "false";
  return std::string();
}

std::string QuoteJsonText(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  AppendQuotedJsonText(quoted, text);
  return quoted;
}

void AppendQuotedJsonText(std::string& quoted, const std::string& text) {
  quoted += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\b':
        quoted += "\\b";
        break;
      case '\f':
        quoted += "\\f";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          quoted += escape;
        } else {
          quoted += c;
        }
    }
  }
  quoted += '"';
}

std::string StyledText(const Json::Value& value) {
  Json::StyledWriter writer;
  return writer.write(value);
}

}  // namespace zep
