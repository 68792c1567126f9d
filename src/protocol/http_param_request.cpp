#include "protocol/http_param_request.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/decimal_text.h"
#include "common/module_identity.h"
#include "platform/clock.h"
#include "protocol/json_command.h"
#include "protocol/messages.h"
#include "settings/log.h"

namespace zep {

namespace {
// The line as the service's log readers know it, its spelling kept on purpose.
constexpr const char* kNoSendBackLine = "Invalid send back handle. Function must be call in wesocket!";
}  // namespace

HttpParamRequest::HttpParamRequest(const HostRequest& host, std::string text, uint8_t* body, SendFunction send)
    : hostData1(host.hostData1),
      hostData2(host.hostData2),
      hostData3(host.hostData3),
      sendBackHandle(host.sendBackHandle),
      connectionContext(host.connectionContext),
      commandText(std::move(text)),
      clientSupported(host.clientSupported),
      clientSocket(host.clientSocket),
      origin(host.origin),
      sendFn(send),
      sendBack(host.sendBack),
      startTick(platform::TickCount()),
      stepTick(startTick),
      response(std::string(), body) {
  const JsonCommand command(commandText);
  if (!command.parsed || !command.root.isObject()) return;
  // The members of interest, in one pass over the object.
  const Json::Value* event = nullptr;
  const Json::Value* method = nullptr;
  const Json::Value* property = nullptr;
  const Json::Value* parameters = nullptr;
  for (auto member = command.root.begin(), last = command.root.end(); member != last; ++member) {
    const char* end = nullptr;
    const char* begin = member.memberName(&end);
    const std::string_view name(begin, static_cast<size_t>(end - begin));
    if (name == "id")
      id = JsonCommand::TextOf(*member);
    else if (name == "cmdId")
      cmdId = JsonCommand::TextOf(*member);
    else if (name == "version")
      version = JsonCommand::TextOf(*member);
    else if (name == "event")
      event = &*member;
    else if (name == "method")
      method = &*member;
    else if (name == "property")
      property = &*member;
    else if (name == "parameter")
      parameters = &*member;
  }
  // The first of the three names in JsonCpp's (ascending byte) order of
  // members decides: "event", then "method", then "property".
  if (event != nullptr) {
    commandKind = kKindEvent;
    methodName = JsonCommand::TextOf(*event);
  } else if (method != nullptr) {
    commandKind = kKindMethod;
    methodName = JsonCommand::TextOf(*method);
  } else if (property != nullptr) {
    commandKind = kKindProperty;
    methodName = JsonCommand::TextOf(*property);
  }
  if (parameters == nullptr) return;
  parameterCount = static_cast<int32_t>(parameters->size());
  // Each listed parameter is kept; a "parameter" that is not an array still
  // counts its members, as empty values.
  const bool listed = parameters->isArray();
  for (int i = 0; i < parameterCount; ++i) AddValue(listed ? std::make_unique<Json::Value>((*parameters)[i]) : nullptr);
}

void HttpParamRequest::AddValue(std::unique_ptr<Json::Value> value) {
  // Most replies carry two or three results: one allocation for them all.
  if (values.size() == values.capacity()) values.reserve(values.size() + std::max<size_t>(values.size(), 4));
  values.push_back(std::move(value));
}

HttpParamRequest::~HttpParamRequest() = default;

void HttpParamRequest::Rewrite(bool isEvent, int32_t code, const std::string& description) {
  pendingReply.pending = true;
  pendingReply.isEvent = isEvent;
  pendingReply.code = code;
  pendingReply.description = description;
}

void HttpParamRequest::RenderPendingReply() {
  if (!pendingReply.pending) return;
  response.SetResultText(
      WriteReply(id, methodName, values, pendingReply.isEvent, pendingReply.code, pendingReply.description));
  pendingReply.pending = false;
}

void HttpParamRequest::SetResult(const std::string& text) {
  AddValue(std::make_unique<Json::Value>(text));
  Rewrite(false, 0, std::string());
}

void HttpParamRequest::SetResult(bool success, int32_t code, const std::string& description) {
  AddValue(std::make_unique<Json::Value>(success));
  if (code == 0 && !description.empty()) {
    AddValue(std::make_unique<Json::Value>(description));
    AddValue(std::make_unique<Json::Value>(kModuleDescription));
  }
  Rewrite(false, code, description);
}

void HttpParamRequest::SetEventResult(const std::string& text) {
  AddValue(std::make_unique<Json::Value>(text));
  Rewrite(true, 0, std::string());
}

void HttpParamRequest::SetEventResult(const char* text) {
  AddValue(std::make_unique<Json::Value>(text));
  Rewrite(true, 0, std::string());
}

void HttpParamRequest::SetResultJson(const std::string& jsonText) {
  Json::Value parsed;
  try {
    Json::Reader reader;
    if (!reader.parse(jsonText, parsed, true)) return;
  } catch (const Json::Exception&) {
    return;  // refused by the parser: as a text that does not parse
  }
  AddValue(std::make_unique<Json::Value>(parsed));
  Rewrite(true, 0, std::string());
}

void HttpParamRequest::SetResultText(const std::string& text) {
  pendingReply.pending = false;
  response.SetResultText(text);
}

namespace {
constexpr char kCmdIdLineStart[] = ",\n\t\"cmdId\" : ";
}  // namespace

std::string FormatCmdIdLine(const std::string& cmdIdText) {
  std::string line = kCmdIdLineStart;
  AppendQuotedJsonText(line, cmdIdText);
  return line;
}

int32_t HttpParamRequest::SendBack() {
  RenderPendingReply();
  const std::string& reply = response.ResultText();
  if (sendBack == nullptr || sendBackHandle == 0) {
    replied = true;
    LogError(kNoSendBackLine);
    return 0;
  }
  if (id.empty() && LogEnabled(kLogDebug)) {
    LogDebug("Invalid json command format. cmd = [%s][%d].", LogText(commandText).c_str(),
             static_cast<int>(sendBackHandle));
  }
  // The reply with the cmdId line before the line break that precedes its
  // last closing brace, built in one allocation (a quoted cmdId rarely needs
  // escapes).
  size_t lineFeed = std::string::npos;
  if (const size_t brace = reply.rfind('}'); brace != std::string::npos) lineFeed = reply.rfind('\n', brace);
  std::string text;
  if (lineFeed == std::string::npos) {
    text = reply;
  } else {
    text.reserve(reply.size() + sizeof kCmdIdLineStart + cmdId.size() + 2);
    text.append(reply, 0, lineFeed);
    text += kCmdIdLineStart;
    AppendQuotedJsonText(text, cmdId);
    text.append(reply, lineFeed, std::string::npos);
  }
  if (LogEnabled(kLogDebug)) LogDebug("result json = [%s].", LogText::KeepingLayout(text).c_str());
  replied = true;
  const int32_t result = sendFn(sendBack, sendBackHandle, connectionContext, text.c_str(), nullptr, 0, 0);
  return result;
}

int32_t HttpParamRequest::SendFailureReply() noexcept {
  if (replied) return 0;
  try {
    SetResult(false, kErrorOwnText, kCommandFailed);
    return SendBack();
  } catch (...) {
  }
  if (replied) return 0;
  replied = true;
  if (sendBack == nullptr || sendBackHandle == 0) return 0;
  try {
    return sendFn(sendBack, sendBackHandle, connectionContext, kFallbackReply, nullptr, 0, 0);
  } catch (...) {
    return 0;
  }
}

bool ValueToText(const Json::Value* value, std::string& text) {
  if (value == nullptr) return false;
  char buffer[256];
  switch (value->type()) {
    case Json::booleanValue:
      text = value->asBool() ? "true" : "false";
      return true;
    case Json::realValue: {
      const int needed = std::snprintf(buffer, sizeof buffer, "%lf", value->asDouble());
      // A real whose text does not fit is refused rather than cut.
      if (needed < 0 || needed >= static_cast<int>(sizeof buffer)) return false;
      text = buffer;
      return true;
    }
    case Json::intValue:
      std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(static_cast<uint32_t>(value->asLargestInt())));
      text = buffer;
      return true;
    case Json::uintValue:
      std::snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(value->asLargestUInt()));
      text = buffer;
      return true;
    case Json::stringValue:
      text = value->asString();
      return true;
    case Json::nullValue:
    case Json::arrayValue:
      text = StyledText(*value);
      return true;
    case Json::objectValue:
      text.clear();
      return false;
  }
  return false;
}

bool GetParamAsString(const Json::Value* value, std::string& text) {
  std::string converted;
  if (value == nullptr || !ValueToText(value, converted)) return false;
  text = std::string(converted.c_str());
  return true;
}

bool GetParamAsInt(const Json::Value* value, int32_t* result) {
  if (value == nullptr || result == nullptr) return false;
  switch (value->type()) {
    case Json::intValue:
      *result = static_cast<int32_t>(static_cast<uint32_t>(value->asLargestInt()));
      return true;
    case Json::uintValue:
      *result = static_cast<int32_t>(static_cast<uint32_t>(value->asLargestUInt()));
      return true;
    case Json::realValue: {
      // Truncate toward zero; out-of-range values saturate instead of being undefined.
      const double real = std::trunc(value->asDouble());
      if (std::isnan(real))
        *result = 0;
      else if (real >= 2147483647.0)
        *result = 2147483647;
      else if (real <= -2147483648.0)
        *result = -2147483647 - 1;
      else
        *result = static_cast<int32_t>(real);
      return true;
    }
    case Json::stringValue: {
      const std::string text = value->asString();
      const int32_t parsed = ParseDecimalPrefix(text);
      if (parsed == 0 && text != "0") {
        *result = -1;
        return false;
      }
      *result = parsed;
      return true;
    }
    default:
      *result = -1;
      return false;
  }
}

}  // namespace zep
