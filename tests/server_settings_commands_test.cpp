#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "command_host.h"
#include "host_support/loopback_socket.h"
#include "module/entry_points.h"
#include "module/virtual_manager_client.h"
#include "test_support.h"

namespace zep {
namespace {

std::string Command(const std::string& method, const std::string& parameters) {
  return R"({"id":"1","cmdId":"c","method":")" + method + R"(","parameter":)" + parameters + "}";
}

// A port on which nothing listens (at the time of the call).
uint16_t FreePort() {
  host::LoopbackListener listener;
  return listener.Port();
}

using ServerSettingsTest = test::CommandTest;

TEST_F(ServerSettingsTest, SetServerInfoStoresAndEchoes) {
  const std::string info = R"({"Host":"127.0.0.1","qro":{"port":"3","sslPort":"4"},"zep":{"port":"1","sslPort":"2"}})";
  EXPECT_EQ(info, test::Send(Command("SetServerInfo", R"(["127.0.0.1",1,2,3,4])")));
  EXPECT_EQ(info, test::Send(R"({"id":"2","method":"GetServerInfo"})"));
  EXPECT_EQ(R"({"Host":"h","qro":{"port":"-7","sslPort":"0"},"zep":{"port":"18625","sslPort":"443"}})",
            test::Send(Command("SetServerInfo", R"(["h","18625",443.9,-7,"0"])")));  // digit strings or reals
}

// A host with a line break would write keys of its own: it is refused as a wrong type.
TEST_F(ServerSettingsTest, WrongTypesStoreNothing) {
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\n");
  for (const char* parameters :
       {R"(["after",1,"abc",3,4])", R"([{"a":1},1,2,3,4])", R"(["h\r\nLogLevel=30\nEnableEnhancedMode=TRUE",1,2,3,4])",
        R"(["h\rLogLevel=30",1,2,3,4])", R"(["h\nLogLevel=30",1,2,3,4])"}) {
    EXPECT_EQ("{}", test::Send(Command("SetServerInfo", parameters))) << parameters;
    EXPECT_NE(std::string::npos, test::TakeLog().find("[Error-0]: Invalid parameter type. GetLastError = "));
  }
  EXPECT_EQ("[TK]\r\nLogLevel=14\r\n", test::ReadFileText(test::ModuleDirectory() + "TKConfiguration.ini"));
}

// The host comes back with every byte but what JSON escapes.
TEST_F(ServerSettingsTest, HostTextIsEscaped) {
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\nServer=R\xE9seau-1\r\n");
  EXPECT_EQ(
      "{\"Host\":\"R\xE9seau-1\","
      R"("qro":{"port":"-1","sslPort":"-1"},"zep":{"port":"-1","sslPort":"-1"}})",
      test::Send(R"({"id":"2","method":"GetServerInfo"})"));
  const std::string reply = test::Send(Command("SetServerInfo", "[\"a\\\"b\\\\\\tc\xC3\xA9\",1,2,3,4]"));
  EXPECT_EQ(
      "{\"Host\":\"a\\\"b\\\\\\tc\xC3\xA9\","
      R"("qro":{"port":"3","sslPort":"4"},"zep":{"port":"1","sslPort":"2"}})",
      reply);
  EXPECT_EQ(reply, test::Send(R"({"id":"2","method":"GetServerInfo"})"));
}

// The origin is checked before the parameters.
TEST_F(ServerSettingsTest, SetServerInfoOnlyFromTheLocalMachine) {
  test::SetConfigurationText("[TK]\r\nServer=kept\r\n");
  const char* remote = "Only support access from local machine";
  EXPECT_EQ(test::Failure("1", "SetServerInfo", -1, remote, R"([ "x", false ])", "c"),
            test::Send(Command("SetServerInfo", R"(["x"])"), "http://example.test"));
  EXPECT_EQ(test::Failure("1", "SetServerInfo", -2202, "Invalid parameter count.", R"([ "x", false ])", "c"),
            test::Send(Command("SetServerInfo", R"(["x"])")));
}

TEST_F(ServerSettingsTest, ChangePortAnswersSuccess) {
  EXPECT_EQ(test::Reply("1", "ChangePort", "[ 1, true ]", "c"), test::Send(Command("ChangePort", "[1]"), ""));
}

std::string CheckReply(bool free) { return test::Reply("1", "CheckQROPort", free ? "[ true ]" : "[ false ]", "c"); }

std::string CheckPorts(const std::string& address, uint32_t first, uint32_t second) {
  return test::Send(
      Command("CheckQROPort", "[\"" + address + "\"," + std::to_string(first) + "," + std::to_string(second) + "]"));
}

// Both ports are tried, up to the first busy one, on their low 16 bits. The
// address reaches the log escaped: no page writes a line of its own.
TEST_F(ServerSettingsTest, CheckQROPortStopsAtTheFirstBusyPort) {
  host::LoopbackListener first, second;
  ASSERT_TRUE(first.Valid() && second.Valid());
  test::TakeLog();
  EXPECT_EQ(CheckReply(false), CheckPorts("127.0.0.1\\nforged", first.Port(), second.Port()));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos,
            log.find("[Info-0]: 127.0.0.1\\nforged:" + std::to_string(first.Port()) + " is active and used.\n"));
  EXPECT_EQ(std::string::npos, log.find(":" + std::to_string(second.Port()) + " is active"));
  const uint16_t free = FreePort();
  EXPECT_EQ(CheckReply(false), CheckPorts("127.0.0.1", free, second.Port()));
  EXPECT_EQ(CheckReply(true), CheckPorts("127.0.0.1", free, FreePort()));
  EXPECT_EQ(CheckReply(true), CheckPorts("not an address", 1, 2));
  EXPECT_EQ(CheckReply(false), CheckPorts("127.0.0.1", first.Port() + 65536u, free));
  EXPECT_NE(std::string::npos,
            test::TakeLog().find("127.0.0.1:" + std::to_string(first.Port()) + " is active and used."));
  EXPECT_EQ("{}", test::Send(Command("CheckQROPort", R"(["127.0.0.1","x",1])")));
}

// The replies on connections 11 and 12; each is written by one thread only.
std::string replies[2];

int32_t Record(uint32_t on, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  replies[on - 11] += text;
  return 7;
}

int32_t SendOn(uint32_t handle, const std::string& command) {
  return zep::DistributeCommand(handle, 0, 0, "/zep/x", command.c_str(), nullptr, 0, 1, &Record, 0, test::kLocalOrigin,
                                0, 0, 0);
}

// A CheckQROPort whose connect gets no answer holds up no other command, the
// host is told the module is busy meanwhile, and the port counts as free once
// the check's bound (3 s a port) has passed, long before the system's connect
// time-out (minutes).
TEST_F(ServerSettingsTest, AHangingConnectHoldsUpNoOtherCommand) {
  host::LoopbackListener full(false, 0);
  ASSERT_TRUE(full.Valid());
  host::TcpSocket queued = host::ConnectLoopback(full.Port());  // the accept queue is now full
  ASSERT_TRUE(queued.Valid());
  VirtualManagerClient::Acquire()->SetLastActivityTime(static_cast<int64_t>(std::time(nullptr)) - 100);
  ASSERT_EQ(100u, zep::GetWaitTimeout());
  test::TakeLog();
  replies[0] = replies[1] = "";

  std::atomic<bool> checked{false};
  const std::string port = std::to_string(full.Port());
  const auto start = std::chrono::steady_clock::now();
  std::thread check([&] {
    SendOn(11, Command("CheckQROPort", "[\"127.0.0.1\"," + port + "," + port + "]"));
    checked = true;
  });
  std::string log;
  for (int i = 0; i < 500 && log.find("Twain function [CheckQROPort] begin") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    log += test::TakeLog();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_FALSE(checked.load()) << "the connect was answered; the test needs it to hang";
  EXPECT_EQ(1u, zep::GetWaitTimeout());  // a command is running

  EXPECT_EQ(7, SendOn(12, Command("ChangePort", "[]")));
  EXPECT_EQ(test::Reply("1", "ChangePort", "[ true ]", "c"), replies[1]);
  EXPECT_FALSE(checked.load()) << "ChangePort waited for CheckQROPort";

  check.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(CheckReply(true), replies[0]);
}

}  // namespace
}  // namespace zep
