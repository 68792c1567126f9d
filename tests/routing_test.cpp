#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "command_host.h"
#include "module/entry_points.h"
#include "module/request_routing.h"
#include "module/virtual_manager_client.h"
#include "test_support.h"

namespace zep {
namespace {

class RoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n");
    test::HostCalls().clear();
  }
};

TEST(RouteCommand, ModuleRouteSplitsAtTheHeaderEnd) {
  RoutedCommand plain = RouteCommand("/zep/x", "{\"method\":\"m\"}");
  EXPECT_EQ(Route::Module, plain.route);
  EXPECT_EQ("{\"method\":\"m\"}", plain.commandText);
  EXPECT_EQ("", plain.moduleBody);
  RoutedCommand withBody = RouteCommand("/zep/x", "{\"method\":\"m\"}\r\n\r\nabcde");
  EXPECT_EQ("{\"method\":\"m\"}", withBody.commandText);
  EXPECT_EQ("abcde", withBody.moduleBody);
  RoutedCommand endsAtHeader = RouteCommand("/zep/x", "{}\r\n\r\n");
  EXPECT_EQ("{}", endsAtHeader.commandText);
  EXPECT_EQ("", endsAtHeader.moduleBody);
  EXPECT_EQ("", RouteCommand("/zep/x", "\r\n\r\n{}").commandText);
}

TEST(RouteCommand, OnlyTheListedPathsRoute) {
  EXPECT_EQ(Route::None, RouteCommand("/zepx/", "{}").route);
  EXPECT_EQ(Route::None, RouteCommand("/a/zep/", "{}").route);
  EXPECT_EQ(Route::None, RouteCommand("/ZEP/", "{}").route);
  EXPECT_EQ("", RouteCommand("/other", "{}").commandText);
}

TEST(RouteCommand, UploadPathsBuildTheirCommands) {
  RoutedCommand zip = RouteCommand("/LoadZipFromBytes?type=2&tkver=16.2&x=1", "");
  EXPECT_EQ(Route::LoadZipFromBytes, zip.route);
  EXPECT_EQ("{\"id\":\"1\",\"method\":\"LoadZipFromBytes\",\"parameter\":[2,\"16.2\"]}", zip.commandText);
  EXPECT_EQ("{\"id\":\"1\",\"method\":\"LoadZipFromBytes\",\"parameter\":[0,\"\"]}",
            RouteCommand("/LoadZipFromBytes?tkver=5", "").commandText);
  EXPECT_EQ("{\"id\":\"1\",\"method\":\"LoadZipFromBytes\",\"parameter\":[,\"\"]}",
            RouteCommand("/LoadZipFromBytes?type=", "").commandText);
  EXPECT_EQ(Route::LoadZipFromBytes, RouteCommand("/zep/CheckUpdateFile/LoadZipFromBytes", "").route);
  RoutedCommand update =
      RouteCommand("/zep/CheckUpdateFile?tkver=3&y", "{\"id\":\"2\",\"method\":\"CheckUpdateFile\",\"parameter\":[]}");
  EXPECT_EQ(Route::CheckUpdateFile, update.route);
  EXPECT_EQ("{\"id\":\"2\",\"method\":\"CheckUpdateFile\",\"parameter\":[\"3\"]}", update.commandText);
  EXPECT_EQ("x\"\"]}", RouteCommand("/CheckUpdateFile", "x").commandText);
}

TEST(GetUrlVersion, NeedsAFollowingItem) {
  EXPECT_EQ("16.2", GetUrlVersion("/a?tkver=16.2&b=1"));
  EXPECT_EQ("", GetUrlVersion("/a?tkver=16.2"));
  EXPECT_EQ("", GetUrlVersion("/a?b=1"));
  EXPECT_EQ("", GetUrlVersion("/a?tkver=&"));
}

TEST_F(RoutingTest, UnroutedRequestsGetThePlainRefusal) {
  VirtualManagerClient::GetInstance()->SetLastActivityTime(0);
  EXPECT_EQ(31, test::Distribute("/other", "{\"id\":\"1\",\"method\":\"ChangePort\"}"));
  ASSERT_EQ(1u, test::HostCalls().size());
  EXPECT_EQ("Invalid command", test::HostCalls()[0].text);
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)),
              static_cast<double>(VirtualManagerClient::GetInstance()->GetLastActivityTime()), 2.0);
  test::HostCalls().clear();
  EXPECT_EQ(31, test::Distribute("/zep/x", "\r\n\r\n{\"method\":\"ChangePort\"}"));
  ASSERT_EQ(1u, test::HostCalls().size());
  EXPECT_EQ("Invalid command", test::HostCalls()[0].text);
  EXPECT_EQ(0, zep::DistributeCommand(1, 1, 0, "/other", "", nullptr, 0, 1, nullptr, 0, "", 0, 0, 0));
}

TEST_F(RoutingTest, UploadRoutesEndWithFunctionNotFound) {
  const uint8_t body[3] = {1, 2, 3};
  EXPECT_EQ(31, zep::DistributeCommand(
                    3, 4, 0, "/LoadZipFromBytes?type=2&tkver=16.2&x=1", "", body, 3, 1,
                    [](uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
                      test::HostCalls().push_back({0, 0, text, nullptr, 0, 0});
                      return 31;
                    },
                    0, "", 0, 0, 0));
  ASSERT_EQ(1u, test::HostCalls().size());
  EXPECT_EQ(
      "{\n   \"description\" : \"Function not found\",\n   \"exception\" : -2200,\n   \"id\" : \"1\",\n   "
      "\"method\" : \"LoadZipFromBytes\",\n   \"result\" : [ 2, \"16.2\", false ],\n\t\"cmdId\" : \"\"\n}\n",
      test::HostCalls()[0].text);
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos,
            log.find("]: cmd = [{\"id\":\"1\",\"method\":\"LoadZipFromBytes\",\"parameter\":[2,\"16.2\"]}]\n"));
  EXPECT_NE(std::string::npos, log.find("]: Invalid function name: LoadZipFromBytes. GetLastError = "));
}

TEST_F(RoutingTest, SkippedRequestsDoNothing) {
  VirtualManagerClient::GetInstance()->SetLastActivityTime(5);
  EXPECT_EQ(0, zep::DistributeCommand(
                   3, 4, 1, "/zep/x", "{\"method\":\"ChangePort\"}", nullptr, 0, 1,
                   [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) {
                     ADD_FAILURE() << "skipped request answered";
                     return 1;
                   },
                   0, "", 0, 0, 0));
  EXPECT_EQ(5, VirtualManagerClient::GetInstance()->GetLastActivityTime());
}

TEST_F(RoutingTest, WaitTimeoutTurnsAfterThirtySecondsIdle) {
  VirtualManagerClient* client = VirtualManagerClient::GetInstance();
  client->SetLastActivityTime(0);
  EXPECT_EQ(1u, zep::GetWaitTimeout());
  // Idle for exactly so many seconds, measured within one second of the clock.
  auto idleFor = [client](int64_t seconds) {
    for (;;) {
      const int64_t now = static_cast<int64_t>(std::time(nullptr));
      client->SetLastActivityTime(now - seconds);
      const uint32_t answer = zep::GetWaitTimeout();
      if (static_cast<int64_t>(std::time(nullptr)) == now) return answer;
    }
  };
  EXPECT_EQ(1u, idleFor(30));
  EXPECT_EQ(100u, idleFor(31));
  test::Send("{\"id\":\"1\",\"method\":\"ChangePort\"}");
  EXPECT_EQ(1u, zep::GetWaitTimeout());
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), static_cast<double>(client->GetLastActivityTime()), 2.0);
}

TEST_F(RoutingTest, TheReplyGoesBackOnTheCallersConnection) {
  EXPECT_EQ(
      "{\n   \"id\" : \"9\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : \"q\"\n}\n",
      test::Send("{\"id\":\"9\",\"cmdId\":\"q\",\"method\":\"ChangePort\"}\r\n\r\nbody"));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos, log.find("]: Url encode json command succeed. Processing...\n"));
  EXPECT_NE(std::string::npos, log.find("]: cmd = [{\"id\":\"9\",\"cmdId\":\"q\",\"method\":\"ChangePort\"}]\n"));
}

TEST_F(RoutingTest, AThrowingHostCallbackIsCalledOnce) {
  static int calls = 0;
  calls = 0;
  EXPECT_EQ(0, zep::DistributeCommand(
                   1, 0, 0, "/zep/x", "{\"id\":\"1\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
                   [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) -> int32_t {
                     ++calls;
                     throw std::runtime_error("host failure");
                   },
                   0, "", 0, 0, 0));
  EXPECT_EQ(1, calls);
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: RunCommand:: command failed: host failure. GetLastError = "));
}

TEST_F(RoutingTest, AReplyWithoutAConnectionIsLogged) {
  EXPECT_EQ(0, zep::DistributeCommand(
                   0, 0, 0, "/zep/x", "{\"id\":\"1\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
                   [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) {
                     ADD_FAILURE() << "answered on no connection";
                     return 1;
                   },
                   0, "", 0, 0, 0));
  EXPECT_EQ(0, zep::DistributeCommand(5, 0, 0, "/zep/x", "{\"id\":\"1\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
                                      nullptr, 0, "", 0, 0, 0));
  const std::string log = test::TakeLog();
  const std::string line = "[Error-0]: Invalid send back handle. Function must be call in wesocket! GetLastError = ";
  size_t lines = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
  EXPECT_EQ(2u, lines);
}

// The host's callback may hand the module another request on the same thread.
TEST_F(RoutingTest, ACallbackMayCallBackIntoTheModule) {
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
  VirtualManagerClient::GetInstance();
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
