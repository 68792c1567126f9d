#include <gtest/gtest.h>

#include "command_host.h"
#include "test_support.h"

namespace zep {
namespace {

class InformationTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\nTKVersion=7.1.0\r\n"); }
};

TEST_F(InformationTest, VersionInfoForALegacyClient) {
  // Short enough for one line within the writer's right margin.
  EXPECT_EQ(
      "{\n   \"event\" : \"VersionInfo\",\n   \"id\" : \"1\",\n   \"result\" : [ \"13,0,0,0404\", \"Corvantis "
      "Service Manager Module\", \"0\", \"false\", \"64\" ],\n\t\"cmdId\" : \"v\"\n}\n",
      test::Send("{\"id\":\"1\",\"cmdId\":\"v\",\"method\":\"VersionInfo\",\"version\":\"kelpm_13000404\"}"));
}

TEST_F(InformationTest, VersionInfoWithoutEnhancedMode) {
  EXPECT_EQ(
      "{\n   \"event\" : \"VersionInfo\",\n   \"id\" : \"2\",\n   \"result\" : [\n      \"16, 2, 6, 1212\",\n      "
      "\"Corvantis Service Manager Module\",\n      \"0\",\n      \"false\",\n      \"64\"\n   ],\n\t\"cmdId\" : "
      "\"\"\n}\n",
      test::Send("{\"id\":\"2\",\"method\":\"VersionInfo\",\"version\":\"kelpm_13000404x\"}"));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos, log.find("]: User=, sock=0, session=0, process=0\n"));
}

TEST_F(InformationTest, UnknownUserKeyHasNoSid) {
  test::Send("{\"id\":\"1\",\"method\":\"VersionInfo\"}");
  const std::string expected =
      "{\n   \"description\" : \"User SID is empty.\",\n   \"exception\" : -2408,\n   \"id\" : \"3\",\n   \"method\" "
      ": \"GetPorts\",\n   \"result\" : [ \"0\", false ],\n\t\"cmdId\" : \"\"\n}\n";
  EXPECT_EQ(expected, test::Send("{\"id\":\"3\",\"method\":\"GetPorts\",\"parameter\":[\"0\"]}"));
  // A key sent as a number converts to the same text.
  EXPECT_EQ(
      "{\n   \"description\" : \"User SID is empty.\",\n   \"exception\" : -2408,\n   \"id\" : \"3\",\n   "
      "\"method\" : \"GetPorts\",\n   \"result\" : [ 0, false ],\n\t\"cmdId\" : \"\"\n}\n",
      test::Send("{\"id\":\"3\",\"method\":\"GetPorts\",\"parameter\":[0]}"));
  EXPECT_EQ(
      "{\n   \"description\" : \"Invalid parameter count.\",\n   \"exception\" : -2202,\n   \"id\" : \"3\",\n   "
      "\"method\" : \"GetPorts\",\n   \"result\" : [ false ],\n\t\"cmdId\" : \"\"\n}\n",
      test::Send("{\"id\":\"3\",\"method\":\"GetPorts\"}"));
}

TEST_F(InformationTest, TKVersionReadsTheConfiguration) {
  EXPECT_EQ(
      "{\n   \"event\" : \"TKVersion\",\n   \"id\" : \"1\",\n   \"result\" : [ \"7.1.0\", \"Corvantis Service\" "
      "],\n\t\"cmdId\" : \"\"\n}\n",
      test::Send("{\"id\":\"1\",\"method\":\"TKVersion\"}"));
  EXPECT_EQ(
      "{\n   \"event\" : \"TKVersion\",\n   \"id\" : \"1\",\n   \"result\" : [ 5, \"\", \"Corvantis Service\" "
      "],\n\t\"cmdId\" : \"\"\n}\n",
      test::Send("{\"id\":\"1\",\"method\":\"TKVersion\",\"parameter\":[5]}"));
  test::SetConfigurationText("[TK]\r\n");
  EXPECT_EQ(
      "{\n   \"event\" : \"TKVersion\",\n   \"id\" : \"1\",\n   \"result\" : [ \"0\", \"Corvantis Service\" "
      "],\n\t\"cmdId\" : \"\"\n}\n",
      test::Send("{\"id\":\"1\",\"method\":\"TKVersion\"}"));
}

TEST_F(InformationTest, ServerInfoWithoutSettings) {
  test::SetConfigurationText("[TK]\r\n");
  EXPECT_EQ("{\"Host\":\"\",\"qro\":{\"port\":\"-1\",\"sslPort\":\"-1\"},\"zep\":{\"port\":\"-1\",\"sslPort\":\"-1\"}}",
            test::Send("{\"id\":\"1\",\"cmdId\":\"c\",\"method\":\"GetServerInfo\"}"));
}

TEST_F(InformationTest, ServerInfoFromTheTables) {
  test::SetConfigurationText(
      "[TK]\r\nServer=scan.local\r\nPort_mn_0=qro\r\nPort_mp_0=18622\r\nSSLPort_mn_0=zep\r\nSSLPort_mp_0=18626\r\n");
  EXPECT_EQ(
      "{\"Host\":\"scan.local\",\"qro\":{\"port\":\"18622\",\"sslPort\":\"-1\"},\"zep\":{\"port\":\"-1\","
      "\"sslPort\":\"18626\"}}",
      test::Send("{\"id\":\"1\",\"method\":\"GetServerInfo\"}"));
}

}  // namespace
}  // namespace zep
