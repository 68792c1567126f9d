// Error codes of command replies and the shared message table.
#pragma once

#include <cstdint>

namespace zep {

constexpr int32_t kErrorOwnText = -1;
constexpr int32_t kErrorFunctionNotFound = -2200;
constexpr int32_t kErrorInvalidParameterCount = -2202;
constexpr int32_t kErrorUnsupportedClient = -2205;
constexpr int32_t kErrorUserInstance = -2408;

enum MessageId {
  kMessageFunctionNotFound = 1,
  kMessageInvalidParameterType = 2,
  kMessageInvalidParameterCount = 3,
  kMessageUnsupportedClient = 4,
};

const char* Message(MessageId id);

constexpr const char* kOnlyLocalAccess = "Only support access from local machine";
constexpr const char* kOnlyAdministrators = "Only an administrator of this machine may do this";
// A command whose handler failed unexpectedly (an exception) still gets an
// error reply with this description.
constexpr const char* kCommandFailed = "Command failed.";
// The reply of last resort, when not even the error reply can be built.
constexpr const char* kFallbackReply = "{\n   \"description\" : \"Command failed.\",\n   \"exception\" : -1\n}\n";

}  // namespace zep
