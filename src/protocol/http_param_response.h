// The reply text of one command; it holds the body bytes the request carried
// until the command ends.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zep {

class HttpParamResponse {
 public:
  HttpParamResponse(const std::string& resultText, uint8_t* body);
  virtual ~HttpParamResponse();
  HttpParamResponse(const HttpParamResponse&) = delete;
  HttpParamResponse& operator=(const HttpParamResponse&) = delete;

  const std::string& ResultText() const { return resultText; }
  void SetResultText(const std::string& text) { resultText = text; }
  void SetResultText(std::string&& text) { resultText = std::move(text); }

 private:
  std::string resultText;
  uint8_t* body;
};

// The reply object in JsonCpp's styled layout: "id", "method" or "event",
// "exception" and "description" for a non-zero code, and "result" holding the
// values (an empty entry is written as null). The values are lent to the
// reply while it is written, and are as they were when it returns.
std::string WriteReply(const std::string& id, const std::string& methodName,
                       std::vector<std::unique_ptr<Json::Value>>& values, bool isEvent, int32_t code,
                       const std::string& description);

}  // namespace zep
