// A host for the command tests: hands requests to DistributeCommand and
// records what comes back through the callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
                   uint32_t clientSupported = 1, uint32_t socket = 0);

}  // namespace zep::test
