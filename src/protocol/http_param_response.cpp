#include "protocol/http_param_response.h"

#include "protocol/json_command.h"

namespace zep {

HttpParamResponse::HttpParamResponse(const std::string& text, uint8_t* bodyBytes, uint32_t /*length*/)
    : resultText(text), body(bodyBytes) {}

HttpParamResponse::~HttpParamResponse() { delete[] body; }

std::string WriteReply(const std::string& id, const std::string& methodName,
                       const std::vector<std::unique_ptr<Json::Value>>& values, bool isEvent, int32_t code,
                       const std::string& description) {
  Json::Value reply(Json::objectValue);
  reply["id"] = id;
  reply[isEvent ? "event" : "method"] = methodName;
  if (code != 0) {
    reply["exception"] = code;
    reply["description"] = description;
  }
  if (!values.empty()) {
    Json::Value& result = reply["result"];
    for (const auto& value : values) result.append(value ? *value : Json::Value());
  }
  return StyledText(reply);
}

}  // namespace zep
