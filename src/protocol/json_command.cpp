#include "protocol/json_command.h"

namespace zep {

JsonCommand::JsonCommand(const std::string& commandText) : text(commandText) {
  Json::Reader reader;
  parsed = reader.parse(text, root, false);
}

const Json::Value* JsonCommand::Member(const char* key) const {
  if (!parsed || !root.isObject()) return nullptr;
  return root.find(key, key + std::char_traits<char>::length(key));
}

std::string JsonCommand::Text(const char* key) const {
  const Json::Value* value = Member(key);
  if (value == nullptr) return std::string();
  if (value->isString()) return value->asString();
  if (value->isBool()) return value->asBool() ? "true" : "false";
  return std::string();
}

std::string StyledText(const Json::Value& value) {
  Json::StyledWriter writer;
  return writer.write(value);
}

}  // namespace zep
