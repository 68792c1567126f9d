// A command text parsed once with JsonCpp.
#pragma once

#include <json/json.h>

#include <string>

namespace zep {

// No command of this module takes more than a few hundred bytes. A reply
// repeats every parameter in the styled layout, which indents each level by
// three more blanks: bounding the text and its nesting bounds the memory and
// time one command can cost (a deeply nested text of 200 KB would otherwise
// be answered with hundreds of megabytes).
constexpr size_t kMaxCommandTextBytes = 64 * 1024;
constexpr int kMaxCommandNesting = 32;

// The text itself stays with the request; parsing reads it in place. A text
// over either bound does not parse.
struct JsonCommand {
  Json::Value root;
  bool parsed = false;

  explicit JsonCommand(const std::string& commandText);

  // A member that is present only when the root is an object.
  const Json::Value* Member(const char* key) const;
  // The member's text: strings as they are, booleans as "true"/"false",
  // everything else (and a missing member) empty.
  std::string Text(const char* key) const;
  // The same for a value at hand.
  static std::string TextOf(const Json::Value& value);
};

// JSON text of a value in JsonCpp's styled layout.
std::string StyledText(const Json::Value& value);

// The text as a JSON string literal. Only the quote, the backslash and bytes
// below 0x20 are escaped; every other byte (UTF-8 or not) stays as it is, so
// a page gets back exactly the bytes it sent.
std::string QuoteJsonText(const std::string& text);
// The same, appended to out.
void AppendQuotedJsonText(std::string& out, const std::string& text);

}  // namespace zep
