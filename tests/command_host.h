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

// The reply the module sends for these members, as pages receive it:
// JsonCpp's styled members, the cmdId (if any) last, on a line of its own
// that starts with a tab.
std::string Styled(const std::string& json);

}  // namespace zep::test
