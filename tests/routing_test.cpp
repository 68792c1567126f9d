#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "command_host.h"
#include "module/entry_points.h"
#include "module/request_routing.h"
#include "module/virtual_manager_client.h"
#include "test_support.h"

namespace zep {
namespace {

using RoutingTest = test::CommandTest;

int32_t NoReply(uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) {
  ADD_FAILURE() << "answered";
  return 1;
}

// Sends a ChangePort on /zep/ through the given callback.
int32_t ChangePortOn(uint32_t handle, SendBackCallback callback, int32_t skip = 0, const char* id = "1") {
  const std::string command = std::string(R"({"id":")") + id + R"(","method":"ChangePort"})";
  return zep::DistributeCommand(handle, 0, skip, "/zep/x", command.c_str(), nullptr, 0, 1, callback, 0, "", 0, 0, 0);
}

bool NearNow(int64_t time) { return std::abs(static_cast<int64_t>(std::time(nullptr)) - time) <= 2; }

std::string ZipCommand(const std::string& parameters) {
  return R"({"id":"1","method":"LoadZipFromBytes","parameter":[)" + parameters + "]}";
}

TEST(RouteCommand, PathsAndTheirCommands) {
  const std::tuple<const char*, const char*, Route, std::string, const char*> cases[] = {
      {"/zep/x", R"({"method":"m"})", Route::Module, R"({"method":"m"})", ""},
      {"/zep/x", "{\"method\":\"m\"}\r\n\r\nabcde", Route::Module, R"({"method":"m"})", "abcde"},
      {"/zep/x", "{}\r\n\r\n", Route::Module, "{}", ""},
      {"/zep/x", "\r\n\r\n{}", Route::Module, "", "{}"},
      {"/zepx/", "{}", Route::None, "", ""},
      {"/a/zep/", "{}", Route::None, "", ""},
      {"/ZEP/", "{}", Route::None, "", ""},
      {"/LoadZipFromBytes?type=2&tkver=16.2&x=1", "", Route::LoadZipFromBytes, ZipCommand(R"(2,"16.2")"), ""},
      {"/LoadZipFromBytes?tkver=5", "", Route::LoadZipFromBytes, ZipCommand(R"(0,"")"), ""},
      {"/LoadZipFromBytes?type=", "", Route::LoadZipFromBytes, ZipCommand(R"(,"")"), ""},
      {"/zep/CheckUpdateFile/LoadZipFromBytes", "", Route::LoadZipFromBytes, ZipCommand(R"(0,"")"), ""},
      {"/zep/CheckUpdateFile?tkver=3&y", R"({"id":"2","method":"CheckUpdateFile","parameter":[]})",
       Route::CheckUpdateFile, R"({"id":"2","method":"CheckUpdateFile","parameter":["3"]})", ""},
      {"/CheckUpdateFile", "x", Route::CheckUpdateFile, R"(x""]})", ""},
  };
  for (const auto& [url, text, route, command, body] : cases) {
    const RoutedCommand routed = RouteCommand(url, text);
    EXPECT_EQ(route, routed.route) << url;
    EXPECT_EQ(command, routed.commandText) << url;
    EXPECT_EQ(body, routed.moduleBody) << url;
  }
  // The version needs an item after it.
  for (const char* url : {"/a?tkver=16.2", "/a?b=1", "/a?tkver=&"}) EXPECT_EQ("", GetUrlVersion(url)) << url;
}

TEST_F(RoutingTest, UnroutedOrEmptyCommandsGetThePlainRefusal) {
  for (const char* url : {"/other", "/zep/x"}) {
    VirtualManagerClient::Acquire()->SetLastActivityTime(0);
    test::HostCalls().clear();
    // A command on another path, or one after the header end, is none.
    const std::string command = R"({"id":"1","method":"ChangePort"})";
    EXPECT_EQ(31, test::Distribute(url, url == std::string("/other") ? command : "\r\n\r\n" + command));
    ASSERT_EQ(1u, test::HostCalls().size());
    EXPECT_EQ("Invalid command", test::HostCalls()[0].text);
    EXPECT_TRUE(NearNow(VirtualManagerClient::Acquire()->GetLastActivityTime()));
  }
  EXPECT_EQ(0, zep::DistributeCommand(1, 1, 0, "/other", "", nullptr, 0, 1, nullptr, 0, "", 0, 0, 0));
}

TEST_F(RoutingTest, UploadRoutesEndWithFunctionNotFound) {
  const uint8_t body[3] = {1, 2, 3};
  auto record = [](uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
    test::HostCalls().push_back({0, 0, text, nullptr, 0, 0});
    return 31;
  };
  EXPECT_EQ(31, zep::DistributeCommand(3, 4, 0, "/LoadZipFromBytes?type=2&tkver=16.2&x=1", "", body, 3, 1, record, 0,
                                       "", 0, 0, 0));
  ASSERT_EQ(1u, test::HostCalls().size());
  EXPECT_EQ(test::Failure("1", "LoadZipFromBytes", -2200, "Function not found", R"([ 2, "16.2", false ])"),
            test::HostCalls()[0].text);
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: cmd = [" + ZipCommand(R"(2,"16.2")") + "]\n"));
}

TEST_F(RoutingTest, SkippedRequestsDoNothing) {
  VirtualManagerClient::Acquire()->SetLastActivityTime(5);
  EXPECT_EQ(0, ChangePortOn(3, &NoReply, 1));
  EXPECT_EQ(5, VirtualManagerClient::Acquire()->GetLastActivityTime());
}

TEST_F(RoutingTest, WaitTimeoutTurnsAfterThirtySecondsIdle) {
  const InstanceRef client = VirtualManagerClient::Acquire();
  client->SetLastActivityTime(0);
  EXPECT_EQ(1u, zep::GetWaitTimeout());
  // Idle for exactly so many seconds, measured within one second of the clock.
  auto idleFor = [&client](int64_t seconds) {
    for (;;) {
      const int64_t now = static_cast<int64_t>(std::time(nullptr));
      client->SetLastActivityTime(now - seconds);
      const uint32_t answer = zep::GetWaitTimeout();
      if (static_cast<int64_t>(std::time(nullptr)) == now) return answer;
    }
  };
  EXPECT_EQ(1u, idleFor(30));
  EXPECT_EQ(100u, idleFor(31));
  test::Send(R"({"id":"1","method":"ChangePort"})");
  EXPECT_EQ(1u, zep::GetWaitTimeout());
  EXPECT_TRUE(NearNow(client->GetLastActivityTime()));
}

TEST_F(RoutingTest, TheReplyGoesBackOnTheCallersConnection) {
  EXPECT_EQ(test::Reply("9", "ChangePort", "[ true ]", "q"),
            test::Send("{\"id\":\"9\",\"cmdId\":\"q\",\"method\":\"ChangePort\"}\r\n\r\nbody"));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos, log.find("]: Url encode json command succeed. Processing...\n"));
  EXPECT_NE(std::string::npos, log.find(R"(]: cmd = [{"id":"9","cmdId":"q","method":"ChangePort"}])"
                                        "\n"));
}

TEST_F(RoutingTest, AThrowingHostCallbackIsCalledOnce) {
  static int calls = 0;
  calls = 0;
  EXPECT_EQ(0, ChangePortOn(1, [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) -> int32_t {
              ++calls;
              throw std::runtime_error("host failure");
            }));
  EXPECT_EQ(1, calls);
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: RunCommand:: command failed: host failure. GetLastError = "));
}

TEST_F(RoutingTest, AReplyWithoutAConnectionIsLogged) {
  EXPECT_EQ(0, ChangePortOn(0, &NoReply));
  EXPECT_EQ(0, ChangePortOn(5, nullptr));
  const std::string log = test::TakeLog();
  const std::string line = "[Error-0]: Invalid send back handle. Function must be call in wesocket! GetLastError = ";
  size_t lines = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
  EXPECT_EQ(2u, lines);
}

// The host's callback may hand the module another request on the same thread.
std::vector<std::string> texts;
int32_t AnswerAndNest(uint32_t handle, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  texts.push_back(text);
  if (handle == 1) ChangePortOn(2, &AnswerAndNest, 0, "in");
  return static_cast<int32_t>(handle);
}

TEST_F(RoutingTest, ACallbackMayCallBackIntoTheModule) {
  texts.clear();
  auto done = std::make_shared<std::promise<int32_t>>();
  std::future<int32_t> result = done->get_future();
  std::thread([done] { done->set_value(ChangePortOn(1, &AnswerAndNest, 0, "out")); }).detach();
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the nested request never returned";
    std::_Exit(1);  // the stuck thread cannot be joined
  }
  EXPECT_EQ(1, result.get());
  ASSERT_EQ(2u, texts.size());
  EXPECT_NE(std::string::npos, texts[0].find("\"id\" : \"out\""));
  EXPECT_NE(std::string::npos, texts[1].find("\"id\" : \"in\""));
}

TEST_F(RoutingTest, StopAndWhiteListQueriesAreLogged) {
  VirtualManagerClient::Acquire();
  test::TakeLog();
  ASSERT_TRUE(zep::DoAction(3, nullptr, nullptr));
  EXPECT_NE(std::string::npos, test::TakeLog().find("[Debug-0]: ManagerClient exit\n"));
  ASSERT_EQ(0, zep::Reserved("addFileToWhiteList", "C:\\Data\\a.txt", 0));
  EXPECT_EQ("", test::TakeLog());
  EXPECT_EQ(0, zep::Reserved("fileInQROWhiteList", "C:\\Data\\a.txt", 0));
  EXPECT_NE(std::string::npos,
            test::TakeLog().find("[Debug-0]: FileIsInWhiteList: [C:\\Data\\a.txt][C:/Data/a.txt].\n"));
}

}  // namespace
}  // namespace zep
