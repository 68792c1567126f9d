// One parsed command with the host's connection data, and its reply.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/http_param_response.h"
#include "zep_exports.h"

namespace zep {

using SendFunction = int32_t (*)(SendBackCallback callback, uint32_t sendBackHandle, uint64_t connectionContext,
                                 const char* text, const void* data, uint32_t dataLength, intptr_t reserved);

// What the host handed over with one request, beside its text and body.
struct HostRequest {
  uint32_t sendBackHandle = 0;
  uint64_t connectionContext = 0;
  uint32_t clientSupported = 0;
  SendBackCallback sendBack = nullptr;
  uint32_t clientSocket = 0;
  const char* origin = "";  // never null
  intptr_t hostData1 = 0, hostData2 = 0, hostData3 = 0;
};

enum CommandKind : uint32_t { kKindMethod = 0, kKindProperty = 1, kKindEvent = 2, kKindNone = 3 };

class HttpParamRequest {
 public:
  // The request's response takes the body.
  HttpParamRequest(const HostRequest& host, std::string commandText, uint8_t* body, SendFunction sendFn);
  virtual ~HttpParamRequest();
  HttpParamRequest(const HttpParamRequest&) = delete;
  HttpParamRequest& operator=(const HttpParamRequest&) = delete;

  const std::string& GetCommandText() const { return commandText; }
  const std::string& GetId() const { return id; }
  const std::string& GetMethodName() const { return methodName; }
  const std::string& GetOrigin() const { return origin; }
  const std::string& GetVersion() const { return version; }
  const std::string& GetCmdId() const { return cmdId; }
  uint32_t GetCommandKind() const { return commandKind; }
  int32_t GetParameterCount() const { return parameterCount; }
  uint32_t GetClientSupported() const { return clientSupported; }
  uint32_t GetClientSocket() const { return clientSocket; }
  uint32_t GetStartTick() const { return startTick; }
  uint32_t GetStepTick() const { return stepTick; }
  void SetStepTick(uint32_t tick) { stepTick = tick; }

  // Parameters first, then the result values of the reply operations.
  std::vector<std::unique_ptr<Json::Value>>& Values() { return values; }

  void SetResult(const std::string& text);
  void SetResult(bool success, int32_t code, const std::string& description);
  void SetEventResult(const std::string& text);
  void SetEventResult(const char* text);
  void SetResultJson(const std::string& jsonText);
  void SetResultText(const std::string& text);
  std::string GetResultText() {
    RenderPendingReply();
    return response.ResultText();
  }

  // Inserts the cmdId and hands the reply to the host; the host's result, or
  // 0 when the reply cannot be sent.
  int32_t SendBack();
  // After an unexpected failure: sends an error reply unless a reply already
  // went to the host, so that every command gets exactly one. Never throws.
  int32_t SendFailureReply() noexcept;

 private:
  // Each result operation rewrites the whole reply; the text is rendered once,
  // when it is read, from the last of them.
  void Rewrite(bool isEvent, int32_t code, const std::string& description);
  void RenderPendingReply();
  // Appends a parameter or result value, growing the list by several at once.
  void AddValue(std::unique_ptr<Json::Value> value);

  // Kept for the host; the module never reads them.
  [[maybe_unused]] intptr_t hostData1, hostData2, hostData3;
  uint32_t sendBackHandle;
  uint64_t connectionContext;
  std::string commandText;
  uint32_t clientSupported;
  uint32_t clientSocket;
  std::string origin;
  std::string id;
  std::string cmdId;
  std::string methodName;
  uint32_t commandKind = kKindNone;
  int32_t parameterCount = 0;
  std::vector<std::unique_ptr<Json::Value>> values;
  SendFunction sendFn;
  SendBackCallback sendBack;
  // Set once the host has been handed a reply (or no reply can be sent).
  bool replied = false;
  // The reply that the last result operation asked for, not yet rendered.
  struct PendingReply {
    bool pending = false;
    bool isEvent = false;
    int32_t code = 0;
    std::string description;
  } pendingReply;
  uint32_t startTick;
  uint32_t stepTick;
  HttpParamResponse response;
  std::string version;
};

// Text of a parameter value; false for an object (and an empty entry).
bool ValueToText(const Json::Value* value, std::string& text);
bool GetParamAsString(const Json::Value* value, std::string& text);
bool GetParamAsInt(const Json::Value* value, int32_t* result);

// The cmdId member line, with the id written as an escaped JSON string.
std::string FormatCmdIdLine(const std::string& cmdId);

}  // namespace zep
