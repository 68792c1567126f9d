#include "protocol/http_param_response.h"

#include <utility>

#include "protocol/json_command.h"

namespace zep {

HttpParamResponse::HttpParamResponse(const std::string& text, uint8_t* bodyBytes) : resultText(text), body(bodyBytes) {}

HttpParamResponse::~HttpParamResponse() { delete[] body; }

namespace {

// A text the reply only points to: the reply is written and gone before the
// text. A text with a NUL in it is copied, as the pointed-to kind ends at the first.
Json::Value TextValue(const std::string& text) {
  if (text.find('\0') != std::string::npos) return Json::Value(text);
  return Json::Value(Json::StaticString(text.c_str()));
}

// The values, lent to the reply's result array for its writing and taken
// back however the writing ends.
class LentValues {
 public:
  LentValues(std::vector<std::unique_ptr<Json::Value>>& values, Json::Value& result)
      : values_(values), result_(result) {}
  void Lend() {
    for (const auto& value : values_) result_.append(value ? std::move(*value) : Json::Value());
  }
  ~LentValues() {
    for (Json::ArrayIndex i = 0; i < values_.size() && i < result_.size(); ++i)
      if (values_[i]) *values_[i] = std::move(result_[i]);
  }
  LentValues(const LentValues&) = delete;
  LentValues& operator=(const LentValues&) = delete;

 private:
  std::vector<std::unique_ptr<Json::Value>>& values_;
  Json::Value& result_;
};

}  // namespace

// The member names are named, not copied, and the values lent rather than
// copied: a reply costs no allocation for any of them.
std::string WriteReply(const std::string& id, const std::string& methodName,
                       std::vector<std::unique_ptr<Json::Value>>& values, bool isEvent, int32_t code,
                       const std::string& description) {
  Json::Value reply(Json::objectValue);
  reply[Json::StaticString("id")] = TextValue(id);
  reply[Json::StaticString(isEvent ? "event" : "method")] = TextValue(methodName);
  if (code != 0) {
    reply[Json::StaticString("exception")] = code;
    reply[Json::StaticString("description")] = TextValue(description);
  }
  if (values.empty()) return StyledText(reply);
  LentValues lent(values, reply[Json::StaticString("result")]);
  lent.Lend();
  return StyledText(reply);
}

}  // namespace zep
