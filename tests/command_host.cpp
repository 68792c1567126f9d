#include "command_host.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include "module/entry_points.h"

namespace zep::test {

namespace {
int32_t Record(uint32_t handle, uint64_t context, const char* text, const void* data, uint32_t dataLength,
               intptr_t reserved) {
  HostCalls().push_back(HostCall{handle, context, text, data, dataLength, reserved});
  return 31;
}
}  // namespace

std::vector<HostCall>& HostCalls() {
  static std::vector<HostCall> calls;
  return calls;
}

int32_t Distribute(const std::string& url, const std::string& requestText, const std::string& origin,
                   uint32_t clientSupported, uint32_t socket, uint32_t handle) {
  return zep::DistributeCommand(handle, 0x1122334455667788ULL, 0, url.c_str(), requestText.c_str(), nullptr, 0,
                                clientSupported, &Record, socket, origin.c_str(), 0, 0, 0);
}

std::string Send(const std::string& command, const std::string& origin, uint32_t socket, uint32_t clientSupported) {
  HostCalls().clear();
  const int32_t result = Distribute("/zep/cmd", command, origin, clientSupported, socket);
  EXPECT_EQ(1u, HostCalls().size());
  if (HostCalls().size() != 1) return std::string();
  EXPECT_EQ(31, result);
  const HostCall& call = HostCalls()[0];
  EXPECT_EQ(3u, call.handle);
  EXPECT_EQ(0x1122334455667788ULL, call.context);
  EXPECT_EQ(nullptr, call.data);
  EXPECT_EQ(0u, call.dataLength);
  EXPECT_EQ(0, call.reserved);
  return call.text;
}

std::string Styled(const std::string& json) {
  Json::Value members;
  if (!Json::Reader().parse(json, members)) ADD_FAILURE() << "not JSON: " << json;
  const Json::Value cmdId = members["cmdId"];
  members.removeMember("cmdId");
  std::string text = Json::StyledWriter().write(members);
  if (cmdId.isNull()) return text;
  return text.substr(0, text.size() - 3) + ",\n\t\"cmdId\" : " + Json::valueToQuotedString(cmdId.asCString()) + "\n}\n";
}

}  // namespace zep::test
