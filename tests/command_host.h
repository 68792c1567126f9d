// A host for the command tests: hands requests to DistributeCommand and
// records what comes back through the callback.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace zep::test {

struct HostCall {
  uint32_t handle;
  uint64_t context;
  std::string text;
  const void* data;
  uint32_t dataLength;
  intptr_t reserved;
};

std::vector<HostCall>& HostCalls();

constexpr const char* kLocalOrigin = "http://127.0.0.1:18625";

// Sends a command on /zep/ and returns the one reply text.
std::string Send(const std::string& command, const std::string& origin = kLocalOrigin, uint32_t socket = 0,
                 uint32_t clientSupported = 1);
// Sends a raw request and returns DistributeCommand's result.
int32_t Distribute(const std::string& url, const std::string& requestText, const std::string& origin = kLocalOrigin,
                   uint32_t clientSupported = 1, uint32_t socket = 0, uint32_t handle = 3);

// A fixture for the command tests: the module brought up with debug logging.
class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeModuleWith("[TK]\r\nLogLevel=14\r\n");
    HostCalls().clear();
  }
};

// Replies written out as pages receive them: JsonCpp's styled members in key
// order, then the cmdId line the module inserts before the closing brace
// (none for a null cmdId, as GetResultText gives the reply). Results are JSON
// text, e.g. R"([ "a", false ])".
inline std::string Styled(const std::string& members, const char* cmdId) {
  return "{\n" + members + (cmdId ? std::string(",\n\t\"cmdId\" : \"") + cmdId + "\"" : "") + "\n}\n";
}
inline std::string Members(const std::string& key, const std::string& id, const std::string& name,
                           const std::string& result) {
  const std::string named = "   \"" + key + "\" : \"" + name + "\",\n", ided = "   \"id\" : \"" + id + "\",\n";
  return (key == "event" ? named + ided : ided + named) + "   \"result\" : " + result;
}
inline std::string Reply(const std::string& id, const std::string& method, const std::string& result,
                         const char* cmdId = "") {
  return Styled(Members("method", id, method, result), cmdId);
}
inline std::string EventReply(const std::string& id, const std::string& event, const std::string& result,
                              const char* cmdId = "") {
  return Styled(Members("event", id, event, result), cmdId);
}
inline std::string Failure(const std::string& id, const std::string& method, int code, const std::string& description,
                           const std::string& result = "[ false ]", const char* cmdId = "") {
  return Styled("   \"description\" : \"" + description + "\",\n   \"exception\" : " + std::to_string(code) + ",\n" +
                    Members("method", id, method, result),
                cmdId);
}

}  // namespace zep::test
