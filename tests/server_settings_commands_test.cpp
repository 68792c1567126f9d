#include <gtest/gtest.h>

#include "command_host.h"
#include "host_support/loopback_socket.h"
#include "platform/profile.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

std::string Command(const std::string& method, const std::string& parameters) {
  return "{\"id\":\"1\",\"cmdId\":\"c\",\"method\":\"" + method + "\",\"parameter\":" + parameters + "}";
}

// A port on which nothing listens (at the time of the call).
uint16_t FreePort() {
  host::LoopbackListener listener;
  return listener.Port();
}

class ServerSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n"); }
};

TEST_F(ServerSettingsTest, SetServerInfoStoresAndEchoes) {
  EXPECT_EQ(
      "{\"Host\":\"127.0.0.1\",\"qro\":{\"port\":\"3\",\"sslPort\":\"4\"},\"zep\":{\"port\":\"1\",\"sslPort\":\"2\"}}",
      test::Send(Command("SetServerInfo", "[\"127.0.0.1\",1,2,3,4]")));
  EXPECT_EQ("127.0.0.1", test::ConfigurationKey("Server"));
  EXPECT_EQ((PortTable{{"qro", 3}, {"zep", 1}}), ReadPorts());
  EXPECT_EQ((PortTable{{"qro", 4}, {"zep", 2}}), ReadSslPorts());
  EXPECT_EQ("qro", test::ConfigurationKey("Port_mn_0"));
  EXPECT_EQ("3", test::ConfigurationKey("Port_mp_0"));
  EXPECT_EQ("zep", test::ConfigurationKey("SSLPort_mn_1"));
  EXPECT_EQ("2", test::ConfigurationKey("SSLPort_mp_1"));
  EXPECT_EQ("2", test::ConfigurationKey("Port"));
  EXPECT_EQ(
      "{\"Host\":\"127.0.0.1\",\"qro\":{\"port\":\"3\",\"sslPort\":\"4\"},\"zep\":{\"port\":\"1\",\"sslPort\":\"2\"}}",
      test::Send("{\"id\":\"2\",\"method\":\"GetServerInfo\"}"));
}

TEST_F(ServerSettingsTest, PortsMayBeDigitStringsOrReals) {
  EXPECT_EQ(
      "{\"Host\":\"h\",\"qro\":{\"port\":\"-7\",\"sslPort\":\"0\"},\"zep\":{\"port\":\"18625\",\"sslPort\":\"443\"}}",
      test::Send(Command("SetServerInfo", "[\"h\",\"18625\",443.9,-7,\"0\"]")));
}

TEST_F(ServerSettingsTest, WrongTypesStoreNothing) {
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\nServer=before\r\n");
  EXPECT_EQ("{}", test::Send(Command("SetServerInfo", "[\"after\",1,\"abc\",3,4]")));
  EXPECT_EQ("before", test::ConfigurationKey("Server"));
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: Invalid parameter type. GetLastError = "));
  EXPECT_EQ("{}", test::Send(Command("SetServerInfo", "[{\"a\":1},1,2,3,4]")));
}

TEST_F(ServerSettingsTest, HostTextIsEscaped) {
  const std::string reply = test::Send(Command("SetServerInfo", "[\"a\\\"b\\\\c\",1,2,3,4]"));
  EXPECT_EQ(
      "{\"Host\":\"a\\\"b\\\\c\",\"qro\":{\"port\":\"3\",\"sslPort\":\"4\"},\"zep\":{\"port\":\"1\",\"sslPort\":\"2\"}"
      "}",
      reply);
  EXPECT_EQ(reply, test::Send("{\"id\":\"2\",\"method\":\"GetServerInfo\"}"));
}

TEST_F(ServerSettingsTest, SetServerInfoOnlyFromTheLocalMachine) {
  test::SetConfigurationText("[TK]\r\nServer=kept\r\n");
  EXPECT_EQ(
      "{\n   \"description\" : \"Only support access from local machine\",\n   \"exception\" : -1,\n   \"id\" : "
      "\"1\",\n   \"method\" : \"SetServerInfo\",\n   \"result\" : [ \"x\", 1, 2, 3, 4, false ],\n\t\"cmdId\" : "
      "\"c\"\n}\n",
      test::Send(Command("SetServerInfo", "[\"x\",1,2,3,4]"), "http://127.0.0.1.evil.example"));
  EXPECT_EQ("kept", test::ConfigurationKey("Server"));
  EXPECT_EQ(
      "{\n   \"description\" : \"Invalid parameter count.\",\n   \"exception\" : -2202,\n   \"id\" : \"1\",\n   "
      "\"method\" : \"SetServerInfo\",\n   \"result\" : [ \"x\", false ],\n\t\"cmdId\" : \"c\"\n}\n",
      test::Send(Command("SetServerInfo", "[\"x\"]")));
}

TEST_F(ServerSettingsTest, ChangePortAnswersSuccess) {
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ 1, true ],\n\t\"cmdId\" : \"c\"\n}\n",
      test::Send(Command("ChangePort", "[1]"), ""));
}

TEST_F(ServerSettingsTest, CheckQROPortStopsAtTheFirstBusyPort) {
  host::LoopbackListener first, second;
  ASSERT_TRUE(first.Valid() && second.Valid());
  const std::string parameters =
      "[\"127.0.0.1\"," + std::to_string(first.Port()) + "," + std::to_string(second.Port()) + "]";
  test::TakeLog();
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"CheckQROPort\",\n   \"result\" : [ false ],\n\t\"cmdId\" : "
      "\"c\"\n}\n",
      test::Send(Command("CheckQROPort", parameters)));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos,
            log.find("[Info-0]: 127.0.0.1:" + std::to_string(first.Port()) + " is active and used.\n"));
  EXPECT_EQ(std::string::npos, log.find("127.0.0.1:" + std::to_string(second.Port()) + " is active"));
}

TEST_F(ServerSettingsTest, CheckQROPortTestsTheSecondPortToo) {
  host::LoopbackListener busy;
  const std::string parameters =
      "[\"127.0.0.1\"," + std::to_string(FreePort()) + "," + std::to_string(busy.Port()) + "]";
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"CheckQROPort\",\n   \"result\" : [ false ],\n\t\"cmdId\" : "
      "\"c\"\n}\n",
      test::Send(Command("CheckQROPort", parameters)));
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"CheckQROPort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : "
      "\"c\"\n}\n",
      test::Send(Command("CheckQROPort",
                         "[\"127.0.0.1\"," + std::to_string(FreePort()) + "," + std::to_string(FreePort()) + "]")));
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"CheckQROPort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : "
      "\"c\"\n}\n",
      test::Send(Command("CheckQROPort", "[\"not an address\",1,2]")));
}

TEST_F(ServerSettingsTest, CheckQROPortUsesTheLow16Bits) {
  host::LoopbackListener busy;
  test::TakeLog();
  test::Send(Command("CheckQROPort", "[\"127.0.0.1\"," + std::to_string(busy.Port() + 65536) + ",0]"));
  EXPECT_NE(std::string::npos,
            test::TakeLog().find("127.0.0.1:" + std::to_string(busy.Port()) + " is active and used."));
  EXPECT_EQ("{}", test::Send(Command("CheckQROPort", "[\"127.0.0.1\",\"x\",1]")));
}

}  // namespace
}  // namespace zep
