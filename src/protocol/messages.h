// Error codes of command replies and the shared message table.
#pragma once

#include <cstdint>

namespace zep {

constexpr int32_t kSuccess = 0;
constexpr int32_t kErrorOwnText = -1;
constexpr int32_t kErrorFunctionNotFound = -2200;
constexpr int32_t kErrorInvalidParameterCount = -2202;
constexpr int32_t kErrorUnsupportedClient = -2205;
constexpr int32_t kErrorUserInstance = -2408;

enum MessageId {
  kMessageNone = 0,
  kMessageFunctionNotFound = 1,
  kMessageInvalidParameterType = 2,
  kMessageInvalidParameterCount = 3,
  kMessageUnsupportedClient = 4,
  kMessagePendingError = 5,
};

const char* Message(MessageId id);

constexpr const char* kOnlyLocalAccess = "Only support access from local machine";

}  // namespace zep
