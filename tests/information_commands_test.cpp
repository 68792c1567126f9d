#include <gtest/gtest.h>

#include "command_host.h"
#include "test_support.h"

namespace zep {
namespace {

class InformationTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\nTKVersion=7.1.0\r\n"); }
};

// A legacy client's version is short enough for one line within the writer's
// right margin; without enhanced mode the writer breaks the array.
TEST_F(InformationTest, VersionInfo) {
  EXPECT_EQ(test::EventReply("1", "VersionInfo",
                             R"([ "13,0,0,0404", "Corvantis Service Manager Module", "0", "false", "64" ])", "v"),
            test::Send(R"({"id":"1","cmdId":"v","method":"VersionInfo","version":"kelpm_13000404"})"));
  EXPECT_EQ(R"({
   "event" : "VersionInfo",
   "id" : "2",
   "result" : [
      "16, 2, 6, 1212",
      "Corvantis Service Manager Module",
      "0",
      "false",
      "64"
   ],
	"cmdId" : ""
}
)",
            test::Send(R"({"id":"2","method":"VersionInfo","version":"kelpm_13000404x"})"));
}

// A key sent as a number converts to the same text.
TEST_F(InformationTest, UnknownUserKeyHasNoSid) {
  test::Send(R"({"id":"1","method":"VersionInfo"})");
  for (const char* key : {R"("0")", "0"})
    EXPECT_EQ(test::Failure("3", "GetPorts", -2408, "User SID is empty.", std::string("[ ") + key + ", false ]"),
              test::Send(std::string(R"({"id":"3","method":"GetPorts","parameter":[)") + key + "]}"));
  EXPECT_EQ(test::Failure("3", "GetPorts", -2202, "Invalid parameter count."),
            test::Send(R"({"id":"3","method":"GetPorts"})"));
}

TEST_F(InformationTest, TKVersionReadsTheConfiguration) {
  EXPECT_EQ(test::EventReply("1", "TKVersion", R"([ "7.1.0", "Corvantis Service" ])"),
            test::Send(R"({"id":"1","method":"TKVersion"})"));
  EXPECT_EQ(test::EventReply("1", "TKVersion", R"([ 5, "", "Corvantis Service" ])"),
            test::Send(R"({"id":"1","method":"TKVersion","parameter":[5]})"));
  test::SetConfigurationText("[TK]\r\n");
  EXPECT_EQ(test::EventReply("1", "TKVersion", R"([ "0", "Corvantis Service" ])"),
            test::Send(R"({"id":"1","method":"TKVersion"})"));
}

TEST_F(InformationTest, ServerInfoFromTheTables) {
  test::SetConfigurationText("[TK]\r\n");
  EXPECT_EQ(R"({"Host":"","qro":{"port":"-1","sslPort":"-1"},"zep":{"port":"-1","sslPort":"-1"}})",
            test::Send(R"({"id":"1","cmdId":"c","method":"GetServerInfo"})"));
  test::SetConfigurationText(
      "[TK]\r\nServer=scan.local\r\nPort_mn_0=qro\r\nPort_mp_0=18622\r\nSSLPort_mn_0=zep\r\nSSLPort_mp_0=18626\r\n");
  EXPECT_EQ(R"({"Host":"scan.local","qro":{"port":"18622","sslPort":"-1"},"zep":{"port":"-1","sslPort":"18626"}})",
            test::Send(R"({"id":"1","method":"GetServerInfo"})"));
}

}  // namespace
}  // namespace zep
