#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "command_host.h"
#include "commands/manager_client.h"
#include "host_support/loopback_socket.h"
#include "platform/network.h"
#include "platform/process_user.h"
#include "platform/thread_identity.h"
#include "platform/user_process.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace zep {

uint32_t GetConnectionProcessID(uint32_t socket);

namespace {

constexpr auto npos = std::string::npos;

TEST(ClientEndOwner, MatchesTheClientsOwnEnd) {
  const platform::Ipv4Endpoint server{0x0100007F, 0x1234};
  const platform::Ipv4Endpoint client{0x0100007F, 0x5678};
  const std::vector<platform::TcpRow> rows = {
      {5, server.address, server.port, client.address, client.port, 100},  // the service's own end
      {5, client.address, 0x9999, server.address, server.port, 300},       // another connection
      {5, client.address, client.port, server.address, server.port, 200},  // the client's end
      {5, client.address, client.port, server.address, server.port, 201},  // a later duplicate
  };
  EXPECT_EQ(200u, platform::ClientEndOwner(rows, server, client));
  EXPECT_EQ(0u, platform::ClientEndOwner(rows, server, platform::Ipv4Endpoint{0x0100007F, 0x1111}));
  EXPECT_EQ(0u, platform::ClientEndOwner({}, server, client));
}

class IdentificationTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n"); }
  host::LoopbackListener listener;
  host::TcpSocket client = host::ConnectLoopback(listener.Port());
  host::TcpSocket served = listener.Accept();
};

TEST_F(IdentificationTest, ALoopbackConnectionOfThisProcess) {
  // Wine names a connection's owner in its TCP table only once the owner has
  // used its socket (sent, received, asked for its peer): the page's end sends
  // one byte first, and the lookup is repeated for a bounded time.
  ASSERT_TRUE(client.Send("x", 1));
  const uint32_t self = platform::CurrentProcessId();
  test::Eventually([&] { return GetConnectionProcessID(served.Value()) == self; }, std::chrono::seconds(2));
  ASSERT_EQ(self, GetConnectionProcessID(served.Value()));
  test::TakeLog();

  ManagerClient manager;
  const std::string sid = manager.GetConnectionUserSID(served.Value());
  EXPECT_EQ(platform::GetProcessUserSID(self), sid);  // the SID of this process's own token
  EXPECT_FALSE(sid.empty());
#ifndef _WIN32
  EXPECT_EQ("S-1-22-1-" + std::to_string(getuid()), sid);
#endif
  const UserInstance& record = manager.UserInstances().at(sid);
  EXPECT_EQ(self, record.clientProcessId);
  uint32_t session = 0;
  if (!platform::ProcessSessionId(self, &session)) session = 0;
  EXPECT_EQ(session, record.sessionId);
  const std::string log = test::TakeLog();
  const std::string socket = std::to_string(served.Value()), process = std::to_string(self);
  EXPECT_NE(npos,
            log.find("]: GetConnectionProcessID:: connection client " + socket + " process is " + process + ".\n"));
  EXPECT_NE(npos,
            log.find("]: GetProcessSessionID:: process:" + process + " session:" + std::to_string(session) + " ("));
  EXPECT_NE(npos, log.find("]: User=" + sid + ", sock=" + socket + ", session=" + std::to_string(session) +
                           ", process=" + process + "\n"));
  // The user key of VersionInfo is that SID's.
  const std::string reply = test::Send(R"({"id":"v","method":"VersionInfo"})", test::kLocalOrigin, served.Value());
  EXPECT_NE(npos, reply.find("\"" + UserKeyOf(sid) + "\"")) << reply;
}

// A client that closed its end (or, under Wine, never used it), a number
// that is no socket and an IPv6 connection name no process: the
// identification fails soft, under no user.
TEST_F(IdentificationTest, AnUnknownClientIsNoUser) {
#ifdef _WIN32
  for (bool close : {false, true}) {
#else
  for (bool close : {true}) {
#endif
    if (close) client.Close();
    ManagerClient manager;
    EXPECT_EQ("", manager.GetConnectionUserSID(served.Value())) << close;
    EXPECT_EQ(0u, manager.UserInstances().at("").clientProcessId + manager.UserInstances().at("").sessionId);
  }
  EXPECT_EQ(0u, GetConnectionProcessID(0));
  host::LoopbackListener listener6(true);
  if (!listener6.Valid()) return;  // no IPv6 loopback here
  host::TcpSocket client6 = host::ConnectLoopback(listener6.Port(), true), served6 = listener6.Accept();
  EXPECT_EQ(0u, GetConnectionProcessID(served6.Value()));
}

#ifdef _WIN32
// Windows stamps a connection's row with its making: a process made later
// holds a number that the socket's ended maker had.
TEST(HolderSpeaksForConnection, NotAProcessMadeAfterTheConnection) {
  const uint32_t self = platform::CurrentProcessId();
  uint64_t started = 0;
  ASSERT_TRUE(platform::ProcessStartTime(self, &started));
  platform::TcpRow row{5, 0x0100007F, 0x5678, 0x0100007F, 0x1234, self};
  uint64_t answered = 0;
  row.createdAt = started - 1;
  EXPECT_FALSE(platform::HolderSpeaksForConnection(row, &answered));
  for (const uint64_t stamp : {uint64_t{0}, started, started + 1}) {  // no stamp, or made since
    row.createdAt = stamp;
    answered = 0;
    EXPECT_TRUE(platform::HolderSpeaksForConnection(row, &answered)) << stamp;
    EXPECT_EQ(started, answered) << stamp;
  }
  row = platform::TcpRow{5, 0x0100007F, 0x5678, 0x0100007F, 0x1234, 0};
  EXPECT_FALSE(platform::HolderSpeaksForConnection(row, &answered));
}

// The suite runs as an administrator (Wine's user is one, with
// Administrators enabled in its token). Under UAC an administrator's everyday
// token holds Administrators for denying only, as a restricted token does here.
TEST(ProcessUserAdministers, AlsoWithAdministratorsForDenyingOnly) {
  EXPECT_TRUE(platform::ProcessUserAdministers(platform::CurrentProcessId(), ""));
  EXPECT_FALSE(platform::ProcessUserAdministers(0, ""));
  HANDLE own = nullptr, restricted = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own));
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  SID_AND_ATTRIBUTES denyOnly{administrators, 0};
  ASSERT_TRUE(CreateRestrictedToken(own, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  char line[] = "cmd.exe /c exit";
  ASSERT_TRUE(CreateProcessAsUserA(restricted, nullptr, line, nullptr, nullptr, FALSE,
                                   CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info));
  EXPECT_TRUE(platform::ProcessUserAdministers(info.dwProcessId, ""));
  TerminateProcess(info.hProcess, 0);
  WaitForSingleObject(info.hProcess, INFINITE);
  for (HANDLE handle : {info.hThread, info.hProcess, restricted, own}) CloseHandle(handle);
}

// A copy started with an elevated client's token runs with the limited token
// linked to it (Wine's processes run elevated, with such a link).
TEST(OpenPrimaryTokenOf, AnElevatedTokenGivesWayToItsLimitedOne) {
  platform::QueryProcess self(platform::CurrentProcessId());
  platform::UserToken token;
  platform::EnvironmentBlock environment;
  platform::ProcessHandle copy;
  ASSERT_TRUE(platform::OpenPrimaryTokenOf(self, token));
  EXPECT_EQ(platform::GetProcessUserSID(platform::CurrentProcessId()), platform::TokenUserSid(token));
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH);
  ASSERT_TRUE(environment.Create(token));
  ASSERT_TRUE(
      platform::StartProcessAsUser(token, std::string(folder) + "\\cmd.exe", "\"cmd.exe\" /c exit", environment, copy));
  ASSERT_EQ(platform::WaitResult::Exited, copy.Wait(60000));
  // The copy's handle keeps its process, and so its token, to be asked.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copy.ProcessId());
  HANDLE copyToken = nullptr;
  TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
  DWORD returned = 0;
  EXPECT_TRUE(process != nullptr && OpenProcessToken(process, TOKEN_QUERY, &copyToken) &&
              GetTokenInformation(copyToken, TokenElevationType, &elevation, sizeof elevation, &returned));
  EXPECT_EQ(TokenElevationTypeLimited, elevation);
  if (copyToken != nullptr) CloseHandle(copyToken);
  if (process != nullptr) CloseHandle(process);
  copy.Close();
}
#endif

}  // namespace
}  // namespace zep
