// A command text parsed once with JsonCpp.
#pragma once

#include <json/json.h>

#include <string>

namespace zep {

struct JsonCommand {
  std::string text;
  Json::Value root;
  bool parsed = false;

  explicit JsonCommand(const std::string& commandText);

  // A member that is present only when the root is an object.
  const Json::Value* Member(const char* key) const;
  // The member's text: strings as they are, booleans as "true"/"false",
  // everything else (and a missing member) empty.
  std::string Text(const char* key) const;
};

// JSON text of a value in JsonCpp's styled layout.
std::string StyledText(const Json::Value& value);

}  // namespace zep
