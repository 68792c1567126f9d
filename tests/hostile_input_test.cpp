// Unusual and hostile commands: each gets exactly one reply, nothing a page
// sends reaches the settings unchecked, and no command waits on another.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "command_host.h"
#include "module/entry_points.h"
#include "module/virtual_manager_client.h"
#include "host_support/loopback_socket.h"
#include "test_support.h"

namespace zep {
namespace {

using namespace std::chrono_literals;

std::string Command(const std::string& method, const std::string& parameters, const std::string& cmdId = "c") {
  return "{\"id\":\"1\",\"cmdId\":\"" + cmdId + "\",\"method\":\"" + method + "\",\"parameter\":" + parameters + "}";
}

// Replies by connection handle, for commands sent from several threads.
class Replies {
 public:
  static int32_t Record(uint32_t handle, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
    std::lock_guard<std::mutex> guard(Mutex());
    Texts().push_back({handle, text});
    return 7;
  }
  static std::vector<std::string> For(uint32_t handle) {
    std::lock_guard<std::mutex> guard(Mutex());
    std::vector<std::string> found;
    for (const auto& entry : Texts())
      if (entry.first == handle) found.push_back(entry.second);
    return found;
  }
  static void Clear() {
    std::lock_guard<std::mutex> guard(Mutex());
    Texts().clear();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::pair<uint32_t, std::string>>& Texts() {
    static std::vector<std::pair<uint32_t, std::string>> texts;
    return texts;
  }
};

int32_t SendOn(uint32_t handle, const std::string& command) {
  return zep::DistributeCommand(handle, 0, 0, "/zep/x", command.c_str(), nullptr, 0, 1, &Replies::Record, 0,
                                test::kLocalOrigin, 0, 0, 0);
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n");
    Replies::Clear();
  }
};

TEST_F(HostileInputTest, ATextTheParserRefusesByThrowingIsAnsweredAsUnparsed) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const std::string expected =
      "{\n   \"description\" : \"Function not found\",\n   \"exception\" : -2200,\n   \"id\" : \"\",\n   \"method\" : "
      "\"\",\n   \"result\" : [ false ],\n\t\"cmdId\" : \"\"\n}\n";
  EXPECT_EQ(expected, test::Send(Command("ChangePort", deep)));
  EXPECT_EQ(expected, test::Send(deep));
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: Invalid function name: . GetLastError = "));
}

TEST_F(HostileInputTest, AThrowingHostCallbackIsCalledOnce) {
  static int calls = 0;
  calls = 0;
  const int32_t result = zep::DistributeCommand(
      1, 0, 0, "/zep/x", "{\"id\":\"1\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
      [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) -> int32_t {
        ++calls;
        throw std::runtime_error("host failure");
      },
      0, "", 0, 0, 0);
  EXPECT_EQ(0, result);
  EXPECT_EQ(1, calls);
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: RunCommand:: command failed: host failure. GetLastError = "));
}

TEST_F(HostileInputTest, CmdIdKeepsEveryByteButWhatJsonEscapes) {
  // UTF-8 and Latin-1 bytes come back as they were sent.
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : "
      "\"c\xC3\xA9xy\"\n}\n",
      test::Send("{\"id\":\"1\",\"cmdId\":\"c\xC3\xA9xy\",\"method\":\"ChangePort\"}"));
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : "
      "\"c\xE9xy\"\n}\n",
      test::Send("{\"id\":\"1\",\"cmdId\":\"c\xE9xy\",\"method\":\"ChangePort\"}"));
  // Quote, backslash and control bytes are escaped.
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : "
      "\"q\\\"b\\\\t\\t\\r\\n\\u0001\\u001f\x7f\"\n}\n",
      test::Send("{\"id\":\"1\",\"cmdId\":\"q\\\"b\\\\t\\t\\r\\n\\u0001\\u001f\x7f\",\"method\":\"ChangePort\"}"));
}

TEST_F(HostileInputTest, HostTextKeepsEveryByteButWhatJsonEscapes) {
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\nServer=R\xE9seau-1\r\n");
  EXPECT_EQ(
      "{\"Host\":\"R\xE9seau-1\",\"qro\":{\"port\":\"-1\",\"sslPort\":\"-1\"},\"zep\":{\"port\":\"-1\",\"sslPort\":\"-"
      "1\"}"
      "}",
      test::Send("{\"id\":\"2\",\"method\":\"GetServerInfo\"}"));
  EXPECT_EQ(
      "{\"Host\":\"h\xC3\xA9\\\"\\\\\\t\",\"qro\":{\"port\":\"3\",\"sslPort\":\"4\"},\"zep\":{\"port\":\"1\","
      "\"sslPort\":"
      "\"2\"}}",
      test::Send(Command("SetServerInfo", "[\"h\xC3\xA9\\\"\\\\\\t\",1,2,3,4]")));
}

// A page's method name and CheckQROPort address reach the log escaped: no
// page writes a line of its own.
TEST_F(HostileInputTest, PageTextKeepsToItsLogLine) {
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\n");
  test::TakeLog();
  test::Send("{\"id\":\"1\",\"method\":\"A\\n[Process:     1 Thread:     1] B\"}");
  EXPECT_NE(std::string::npos,
            test::TakeLog().find("]: Invalid function name: A\\n[Process:     1 Thread:     1] B. "));
  host::LoopbackListener listener;
  const std::string port = std::to_string(listener.Port());
  test::Send(Command("CheckQROPort", "[\"127.0.0.1\\nforged\"," + port + "," + port + "]"));
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: 127.0.0.1\\nforged:" + port + " is active and used.\n"));
}

TEST_F(HostileInputTest, AHostWithALineBreakWritesNothing) {
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\n");
  for (const char* host : {"h\\r\\nLogLevel=30\\nEnableEnhancedMode=TRUE", "h\\rLogLevel=30", "h\\nLogLevel=30"}) {
    EXPECT_EQ("{}", test::Send(Command("SetServerInfo", std::string("[\"") + host + "\",1,2,3,4]"))) << host;
    EXPECT_NE(std::string::npos, test::TakeLog().find("[Error-0]: Invalid parameter type. GetLastError = "));
  }
  EXPECT_EQ("[TK]\r\nLogLevel=14\r\n", test::ReadFileText(test::ModuleDirectory() + "TKConfiguration.ini"));
  EXPECT_EQ("<none>", test::ConfigurationKey("Server"));
  EXPECT_EQ("<none>", test::ConfigurationKey("Port"));
}

TEST_F(HostileInputTest, TheOriginIsCheckedBeforeTheParameters) {
  EXPECT_EQ(
      "{\n   \"description\" : \"Only support access from local machine\",\n   \"exception\" : -1,\n   \"id\" : "
      "\"1\",\n   \"method\" : \"SetServerInfo\",\n   \"result\" : [ \"x\", false ],\n\t\"cmdId\" : \"c\"\n}\n",
      test::Send(Command("SetServerInfo", "[\"x\"]"), "http://example.test"));
  EXPECT_EQ(std::string::npos, test::TakeLog().find("Invalidate parameter count"));
}

TEST_F(HostileInputTest, AReplyWithoutAConnectionIsLogged) {
  EXPECT_EQ(0, zep::DistributeCommand(0, 0, 0, "/zep/x", "{\"id\":\"1\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
                                      &Replies::Record, 0, "", 0, 0, 0));
  EXPECT_EQ(0, zep::DistributeCommand(5, 0, 0, "/zep/x", "{\"id\":\"1\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
                                      nullptr, 0, "", 0, 0, 0));
  const std::string log = test::TakeLog();
  const std::string line = "[Error-0]: Invalid send back handle. Function must be call in wesocket! GetLastError = ";
  size_t lines = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
  EXPECT_EQ(2u, lines);
  EXPECT_TRUE(Replies::For(0).empty());
}

TEST_F(HostileInputTest, StoppingTheModuleLogsTheManagersExit) {
  VirtualManagerClient::GetInstance();
  test::TakeLog();
  ASSERT_TRUE(zep::DoAction(3, nullptr, nullptr));
  EXPECT_NE(std::string::npos, test::TakeLog().find("[Debug-0]: ManagerClient exit\n"));
}

TEST_F(HostileInputTest, WhitelistQueriesAreLoggedAndAddsAreNot) {
  ASSERT_EQ(0, zep::Reserved("addFileToWhiteList", "C:\\Data\\a.txt", 0));
  EXPECT_EQ("", test::TakeLog());
  EXPECT_EQ(0, zep::Reserved("fileInQROWhiteList", "C:\\Data\\a.txt", 0));
  EXPECT_NE(std::string::npos,
            test::TakeLog().find("[Debug-0]: FileIsInWhiteList: [C:\\Data\\a.txt][C:/Data/a.txt].\n"));
}

// The host's callback may hand the module another request on the same thread.
TEST_F(HostileInputTest, ACallbackMayCallBackIntoTheModule) {
  static std::vector<std::string> texts;
  texts.clear();
  auto nested = [](uint32_t handle, uint64_t, const char* text, const void*, uint32_t, intptr_t) -> int32_t {
    texts.push_back(text);
    if (handle == 1) {
      auto inner = [](uint32_t, uint64_t, const char* innerText, const void*, uint32_t, intptr_t) -> int32_t {
        texts.push_back(innerText);
        return 2;
      };
      zep::DistributeCommand(2, 0, 0, "/zep/x", "{\"id\":\"in\",\"method\":\"ChangePort\"}", nullptr, 0, 1, inner, 0,
                             "", 0, 0, 0);
    }
    return 1;
  };
  auto done = std::make_shared<std::promise<int32_t>>();
  std::future<int32_t> result = done->get_future();
  std::thread([done, nested] {
    done->set_value(zep::DistributeCommand(1, 0, 0, "/zep/x", "{\"id\":\"out\",\"method\":\"ChangePort\"}", nullptr, 0,
                                           1, nested, 0, "", 0, 0, 0));
  }).detach();
  if (result.wait_for(20s) != std::future_status::ready) {
    ADD_FAILURE() << "the nested request never returned";
    std::_Exit(1);  // the stuck thread cannot be joined
  }
  EXPECT_EQ(1, result.get());
  ASSERT_EQ(2u, texts.size());
  EXPECT_NE(std::string::npos, texts[0].find("\"id\" : \"out\""));
  EXPECT_NE(std::string::npos, texts[1].find("\"id\" : \"in\""));
}

// A CheckQROPort whose connect gets no answer holds up no other command, and
// the host is told the module is busy meanwhile.
TEST_F(HostileInputTest, AHangingConnectHoldsUpNoOtherCommand) {
  host::LoopbackListener full(false, 0);
  ASSERT_TRUE(full.Valid());
  host::TcpSocket queued = host::ConnectLoopback(full.Port());  // the accept queue is now full
  ASSERT_TRUE(queued.Valid());
  VirtualManagerClient* client = VirtualManagerClient::GetInstance();
  client->SetLastActivityTime(static_cast<int64_t>(std::time(nullptr)) - 100);
  ASSERT_EQ(100u, zep::GetWaitTimeout());
  test::TakeLog();

  std::atomic<bool> checked{false};
  const std::string port = std::to_string(full.Port());
  std::thread check([&] {
    SendOn(11, Command("CheckQROPort", "[\"127.0.0.1\"," + port + "," + port + "]"));
    checked = true;
  });
  std::string log;
  for (int i = 0; i < 500 && log.find("Twain function [CheckQROPort] begin") == std::string::npos; ++i) {
    std::this_thread::sleep_for(10ms);
    log += test::TakeLog();
  }
  std::this_thread::sleep_for(300ms);
  ASSERT_FALSE(checked.load()) << "the connect was answered; the test needs it to hang";
  EXPECT_EQ(1u, zep::GetWaitTimeout());  // a command is running

  EXPECT_EQ(7, SendOn(12, Command("ChangePort", "[]")));
  EXPECT_EQ(1u, Replies::For(12).size());
  EXPECT_FALSE(checked.load()) << "ChangePort waited for CheckQROPort";

  host::TcpSocket accepted = full.Accept();  // room in the queue: the next try connects
  check.join();
  ASSERT_EQ(1u, Replies::For(11).size());
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"CheckQROPort\",\n   \"result\" : [ false ],\n\t\"cmdId\" : \"c\"\n}\n",
      Replies::For(11)[0]);
}

// A port whose connect gets no answer counts as free once the check's bound
// (3 s a port) has passed: the command does not wait for the system's
// connect time-out (minutes).
TEST_F(HostileInputTest, AConnectWithoutAnswerCountsAsFreeWithinTheBound) {
  host::LoopbackListener full(false, 0);
  ASSERT_TRUE(full.Valid());
  host::TcpSocket queued = host::ConnectLoopback(full.Port());
  ASSERT_TRUE(queued.Valid());
  const std::string port = std::to_string(full.Port());
  const auto start = std::chrono::steady_clock::now();
  SendOn(13, Command("CheckQROPort", "[\"127.0.0.1\"," + port + "," + port + "]"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ASSERT_EQ(1u, Replies::For(13).size());
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"CheckQROPort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : \"c\"\n}\n",
      Replies::For(13)[0]);
}

TEST_F(HostileInputTest, WaitTimeoutTurnsAfterThirtySeconds) {
  VirtualManagerClient* client = VirtualManagerClient::GetInstance();
  // Idle for exactly so many seconds, measured within one second of the clock.
  auto idleFor = [client](int64_t seconds) {
    for (;;) {
      const int64_t now = static_cast<int64_t>(std::time(nullptr));
      client->SetLastActivityTime(now - seconds);
      const uint32_t answer = zep::GetWaitTimeout();
      if (static_cast<int64_t>(std::time(nullptr)) == now) return answer;
    }
  };
  EXPECT_EQ(1u, idleFor(29));
  EXPECT_EQ(1u, idleFor(30));
  EXPECT_EQ(100u, idleFor(31));
}

}  // namespace
}  // namespace zep
