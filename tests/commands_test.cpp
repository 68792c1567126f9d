// What a transcript cannot show: host callbacks that throw or call back in,
// the idle clock, ports that are busy or hang, the commands that reach the
// machine (addresses, firewall batch file, restart), who the client behind a
// connection is, who may change or stop the service (the user behind the
// connection as the system knows it, never what the page wrote), and code
// guarded by a lock that refuses (its holder record cannot be stored), which
// must not touch what the lock guards.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#else
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <json/json.h>

#include "command_host.h"
#include "commands/manager_client.h"
#include "common/growable_array.h"
#include "common/module_locks.h"
#include "host_support/loopback_socket.h"
#include "module/entry_points.h"
#include "module/virtual_manager_client.h"
#include "platform/access_rights.h"
#include "platform/file_system.h"
#include "platform/network.h"
#include "platform/process_user.h"
#include "platform/thread_identity.h"
#include "platform/user_process.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {

uint32_t GetConnectionProcessID(uint32_t socket);

namespace {

using CommandsTest = test::CommandTest;

int32_t ChangePortOn(uint32_t handle, SendBackCallback callback, int32_t skip = 0, const char* id = "1") {
  const std::string command = std::string(R"({"id":")") + id + R"(","method":"ChangePort"})";
  return zep::DistributeCommand(handle, 0, skip, "/zep/x", command.c_str(), nullptr, 0, 1, callback, 0,
                                test::kLocalOrigin, 0, 0, 0);
}

// A throwing callback is called once; a missing one or a skipped request is never called.
TEST_F(CommandsTest, CallbacksThatThrowOrAreMissing) {
  static int calls = 0;
  auto counted = [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) -> int32_t {
    ++calls;
    throw std::runtime_error("host failure");
  };
  EXPECT_EQ(0, ChangePortOn(1, counted));
  EXPECT_EQ(1, calls);
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: RunCommand:: command failed: host failure. GetLastError = "));
  EXPECT_EQ(0, ChangePortOn(5, nullptr));
  EXPECT_EQ(0, zep::DistributeCommand(1, 1, 0, "/other", "", nullptr, 0, 1, nullptr, 0, "", 0, 0, 0));
  EXPECT_NE(std::string::npos, test::TakeLog().find("[Error-0]: Invalid send back handle."));
  EXPECT_EQ(0, ChangePortOn(1, counted, 1));
  EXPECT_EQ(1, calls);
}

// The host's callback may hand the module another request on the same thread.
std::vector<std::string> texts;
int32_t AnswerAndNest(uint32_t handle, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  texts.push_back(text);
  if (handle == 1) ChangePortOn(2, &AnswerAndNest, 0, "in");
  return static_cast<int32_t>(handle);
}

TEST_F(CommandsTest, ACallbackMayCallBackIntoTheModule) {
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

// GetWaitTimeout as a host asks it from its callback, with the last activity
// 31 s ago.
uint32_t WaitTimeoutWithinACommand() {
  static uint32_t answer;
  answer = 0;
  ChangePortOn(1, [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) -> int32_t {
    VirtualManagerClient::Acquire()->SetLastActivityTime(static_cast<int64_t>(std::time(nullptr)) - 31);
    answer = zep::GetWaitTimeout();
    return 1;
  });
  return answer;
}

// Any request, answered or not (a skipped one is not), is activity, and so
// is a command still running.
TEST_F(CommandsTest, WaitTimeoutTurnsAfterThirtySecondsIdle) {
  const InstanceRef client = VirtualManagerClient::Acquire();
  auto idleFor = [&client](int64_t seconds) {  // exactly so long, within one tick of the clock
    for (;;) {
      const int64_t now = static_cast<int64_t>(std::time(nullptr));
      client->SetLastActivityTime(now - seconds);
      const uint32_t answer = zep::GetWaitTimeout();
      if (static_cast<int64_t>(std::time(nullptr)) == now) return answer;
    }
  };
  EXPECT_EQ(1u, idleFor(30));
  EXPECT_EQ(100u, idleFor(31));
  EXPECT_EQ(0, ChangePortOn(3, nullptr, 1));
  EXPECT_EQ(100u, zep::GetWaitTimeout());
  test::Distribute("/other", "");
  EXPECT_EQ(1u, zep::GetWaitTimeout());
  // While a command runs, however long ago the last one ended.
  EXPECT_EQ(1u, WaitTimeoutWithinACommand());
}

#ifndef _WIN32
// A host that forks in its callback, the child carrying on from the
// command: the child's later commands still count as running.
TEST_F(CommandsTest, WaitTimeoutInAChildForkedInsideACommand) {
  static pid_t child = -1;
  ChangePortOn(1, [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) -> int32_t {
    child = fork();
    return 1;
  });
  if (child == 0) _exit(WaitTimeoutWithinACommand() == 1 ? 0 : 3);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}
#endif

std::string CheckPorts(const std::string& address, uint32_t first, uint32_t second) {
  return test::Send(R"({"id":"1","cmdId":"c","method":"CheckQROPort","parameter":[")" + address + "\"," +
                    std::to_string(first) + "," + std::to_string(second) + "]}");
}
std::string CheckReply(bool free) {
  return test::Styled(std::string(R"({"id":"1","method":"CheckQROPort","cmdId":"c","result":[)") +
                      (free ? "true" : "false") + "]}");
}

// Both ports are tried, up to the first busy one, on their low 16 bits. The
// address reaches the log escaped.
TEST_F(CommandsTest, CheckQROPortStopsAtTheFirstBusyPort) {
  host::LoopbackListener first, second;
  ASSERT_TRUE(first.Valid() && second.Valid());
  const uint16_t free = host::LoopbackListener().Port();  // nothing listens there once it is closed
  test::TakeLog();
  EXPECT_EQ(CheckReply(false), CheckPorts("127.0.0.1\\nforged", first.Port(), second.Port()));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos,
            log.find("[Info-0]: 127.0.0.1\\nforged:" + std::to_string(first.Port()) + " is active and used.\n"));
  EXPECT_EQ(std::string::npos, log.find(":" + std::to_string(second.Port()) + " is active"));
  EXPECT_EQ(CheckReply(false), CheckPorts("127.0.0.1", free, second.Port()));
  EXPECT_EQ(CheckReply(true), CheckPorts("127.0.0.1", free, free));
  EXPECT_EQ(CheckReply(false), CheckPorts("127.0.0.1", first.Port() + 65536u, free));
}

// The machine's IPv4 addresses, as a bare JSON array, loopback left out.
TEST_F(CommandsTest, LocalIPListsTheInterfacesButNotLoopback) {
  const std::string reply = test::Send("{\"id\":\"1\",\"cmdId\":\"c\",\"method\":\"GetLocalIP\"}", "https://127.0.0.1");
  Json::Value parsed;
  ASSERT_TRUE(reply.size() >= 2 && reply.front() == '[' && Json::Reader().parse(reply, parsed)) << reply;
  EXPECT_FALSE(parsed.empty()) << "this machine has a network interface";
  for (const Json::Value& address : parsed) {
    EXPECT_TRUE(std::regex_match(address.asString(), std::regex(R"([0-9]{1,3}(\.[0-9]{1,3}){3})"))) << reply;
    EXPECT_NE("127.0.0.1", address.asString());
  }
}

#ifdef _WIN32
// The shared folders are open to every user as the system's temporary folder
// is, and user_config.ini to everyone's reading and writing of its data. The
// batch file's folder is open to other users: a file planted there, that
// Everyone may change, is replaced by one that only SYSTEM, the
// Administrators and this user may change. Windows keeps the lists as set;
// Wine keeps Unix permissions only and reads a list back from them (SYSTEM,
// the owner, and everyone's read, write and execute bits; see docs/wine.md).
TEST(AccessRights, SharedAndPrivateFiles) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  const SettingsPaths paths = GetSettingsPaths();
  for (const std::string& folder :
       {paths.logDirectory, paths.cacheDirectory, paths.uploadDirectory, paths.dumpDirectory}) {
    const std::string list = test::AccessList(folder);
    EXPECT_TRUE(list == "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;;0x1200af;;;WD)" ||
                list == "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + sid + ")(A;OICI;0x1301ff;;;WD)")
        << folder << " " << list;
  }
  const std::string shared = test::AccessList(paths.userConfigurationFile);
  EXPECT_TRUE(shared == "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008f;;;WD)" ||
              shared == "D:(A;;FA;;;SY)(A;;FA;;;" + sid + ")(A;;0x1301ff;;;WD)")
      << shared;

  const std::string path = test::ModuleDirectory() + "planted.bat";
  test::RemoveFile(path);
  test::WriteFileText(path, "planted");
  ASSERT_NE(0, platform::ShareWithEveryone(path.c_str()));
  ASSERT_NE(std::string::npos, test::AccessList(path).find(";;;WD)"));
  ASSERT_TRUE(platform::WriteNewPrivateFile(path, "made"));
  EXPECT_EQ("made", test::ReadFileText(path));
  const std::string made = test::AccessList(path);
  EXPECT_TRUE(made == "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + sid + ")" ||
              made == "D:(A;;FA;;;SY)(A;;FA;;;" + sid + ")")
      << made;
  test::RemoveFile(path);
}

// Under Wine the batch file really runs, elevated, and deletes itself. A
// netsh that another user planted beside it is not what it runs.
TEST_F(CommandsTest, AddFirewallRunsTheBatchFile) {
  const std::string folder = test::ModuleDirectory() + "tmp";
  std::filesystem::create_directories(folder);
  char saved[MAX_PATH] = {0};
  GetEnvironmentVariableA("TMP", saved, MAX_PATH);
  SetEnvironmentVariableA("TMP", folder.c_str());
  const std::string batch = folder + "\\CorvantisServiceFirewall.bat", planted = folder + "\\planted.txt";
  test::RemoveFile(batch);
  test::RemoveFile(planted);
  test::WriteFileText(folder + "\\netsh.bat", "echo planted> \"" + planted + "\"\r\n");
  test::TakeLog();
  EXPECT_EQ(test::Styled(R"({"id":"1","method":"AddFirewall","result":[true],"cmdId":""})"),
            test::Send(R"({"id":"1","method":"AddFirewall"})"));
  EXPECT_NE(std::string::npos, test::TakeLog().find("[Debug-0]: ok to get temp path: " + folder + "\\\n"));
  EXPECT_TRUE(test::Eventually([&] { return !test::FileExists(batch); }, std::chrono::seconds(20)))
      << "the batch file did not run";
  EXPECT_FALSE(test::FileExists(planted));
  SetEnvironmentVariableA("TMP", saved[0] != '\0' ? saved : nullptr);
}
#else
const char* const kBatch =
    "@echo off\r\n"
    "netsh advfirewall firewall delete rule name=\"Corvantis_ServiceRule\"\r\n"
    "netsh advfirewall firewall add rule action=allow name=\"Corvantis_ServiceRule\" dir=in program=\"%s\"\r\n"
    "del %%0\r\nexit\r\n";

// On POSIX the batch file is written but never run. The temporary folder is
// open to other users: a link or a file planted at the batch file's name is
// removed, never written through or into.
TEST_F(CommandsTest, AddFirewallWritesTheBatchFileAndNeverThroughWhatOthersPlanted) {
  const std::string folder = test::ModuleDirectory() + "tmp", batch = folder + "/CorvantisServiceFirewall.bat";
  const std::string victim = folder + "/victim.txt";
  std::filesystem::create_directories(folder);
  setenv("TMPDIR", folder.c_str(), 1);
  char text[1024];
  std::snprintf(text, sizeof text, kBatch, GetServiceExecutablePath().c_str());
  auto addFirewall = [&] {
    EXPECT_EQ(test::Styled(R"({"id":"1","method":"AddFirewall","result":[true],"cmdId":""})"),
              test::Send(R"({"id":"1","method":"AddFirewall"})"));
    EXPECT_EQ(text, test::ReadFileText(batch));
  };
  test::RemoveFile(batch);
  addFirewall();
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: ok to get temp path: " + folder + "/\n"));
  test::RemoveFile(batch);
  test::WriteFileText(victim, "precious");
  std::filesystem::create_symlink(victim, batch);
  addFirewall();
  EXPECT_EQ("precious", test::ReadFileText(victim));
  EXPECT_FALSE(std::filesystem::is_symlink(batch));
  test::RemoveFile(batch);
  test::WriteFileText(batch, "planted");
  chmod(batch.c_str(), 0666);
  addFirewall();
  struct stat made {};
  stat(batch.c_str(), &made);
  EXPECT_EQ(0600u, made.st_mode & 07777);
  EXPECT_EQ(geteuid(), made.st_uid);
  // Where no file can be made, nothing runs, and the reply says so.
  setenv("TMPDIR", (folder + "/missing").c_str(), 1);
  EXPECT_EQ(test::Styled(R"({"id":"1","method":"AddFirewall","result":[false],"cmdId":""})"),
            test::Send(R"({"id":"1","method":"AddFirewall"})"));
  EXPECT_NE(std::string::npos,
            test::TakeLog().find("]: AddFirewall:: the batch file " + folder +
                                 "/missing/CorvantisServiceFirewall.bat could not be made. GetLastError = 2.\n"));
  unsetenv("TMPDIR");
}

TEST_F(CommandsTest, RebootEndsTheProcessAtOnce) {
  EXPECT_EXIT(test::Send("{\"id\":\"1\",\"method\":\"Reboot\"}", "http://127.0.0.1"), ::testing::ExitedWithCode(0), "");
}
#endif

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

#ifndef _WIN32
constexpr const char* kSetServerInfo = R"({"id":"1","method":"SetServerInfo","parameter":["h",1,2,3,4]})";
std::string Refused(const std::string& method, const std::string& result = "[false]") {
  return test::Styled(R"({"description":"Only an administrator of this machine may do this","exception":-1,"id":"1",)"
                      R"("method":")" +
                      method + R"(","result":)" + result + R"(,"cmdId":""})");
}

class AuthorityTest : public test::CommandTest {
 protected:
  // The connection of a page of the unprivileged account, as the host hands it over.
  uint32_t ForeignConnection() {
    page = std::make_unique<test::PageOfAccount>(listener.Port(), test::kUnprivilegedUid);
    served = listener.Accept();
    return served.Value();
  }
  // The messages of the log lines written since the last look.
  static std::string Messages() {
    std::string messages, log = test::TakeLog();
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
      if (log.find("refused", at) < end) messages += test::MessageOf(log.substr(at, end - at)) + "\n";
    return messages;
  }
  host::LoopbackListener listener;
  std::unique_ptr<test::PageOfAccount> page;
  host::TcpSocket served;
};

// A page of an ordinary user writes a local origin, which any program can:
// it still may not reconfigure, stop or open the service to the network.
TEST_F(AuthorityTest, PrivilegedCommandsAnswerToTheClientsUser) {
  if (geteuid() != 0) GTEST_SKIP() << "pages of two accounts need root";
  const uint32_t socket = ForeignConnection();
  const std::string user = "S-1-22-1-" + std::to_string(test::kUnprivilegedUid);
  test::TakeLog();
  EXPECT_EQ(Refused("SetServerInfo", R"(["h",1,2,3,4,false])"), test::Send(kSetServerInfo, test::kLocalOrigin, socket));
  for (const char* method : {"Reboot", "AddFirewall"})
    EXPECT_EQ(Refused(method),
              test::Send(std::string(R"({"id":"1","method":")") + method + "\"}", test::kLocalOrigin, socket));
  EXPECT_EQ("SetServerInfo:: refused: user " + user + " does not administer this machine.\nReboot:: refused: user " +
                user + " does not administer this machine.\nAddFirewall:: refused: user " + user +
                " does not administer this machine.\n",
            Messages());
  EXPECT_EQ("", GetConfiguration("Server", ""));

  // The members of a group that the settings name administer it; the host's
  // own request (no socket) is served as before.
  const std::string served = test::Send(kSetServerInfo);
  test::SetConfigurationText(std::string("[TK]\r\nLogLevel=14\r\nAdministratorsGroup=") +
                             getgrgid(test::kUnprivilegedUid)->gr_name + "\r\n");
  EXPECT_EQ(served, test::Send(kSetServerInfo, test::kLocalOrigin, socket));

  // A connection whose client has gone speaks for no one.
  page.reset();
  EXPECT_EQ(Refused("Reboot"), test::Send(R"({"id":"1","method":"Reboot"})", test::kLocalOrigin, socket));
  EXPECT_EQ("Reboot:: refused: the client's user is unknown.\n", Messages());
}
#endif

using namespace std::chrono_literals;

void* FailingAllocator(size_t) { return nullptr; }

class FailingGrowth {
 public:
  FailingGrowth() : original_(GrowableArrayAllocator()) { GrowableArrayAllocator() = &FailingAllocator; }
  ~FailingGrowth() { GrowableArrayAllocator() = original_; }

 private:
  BlockAllocFn original_;
};

TEST(FailClosed, WritersOfTheSingletonChangeNothingWhenRefused) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
  VirtualManagerClient client;  // its locks have no holder storage yet
  const char record[4] = {1, 2, 3, 4};
  {
    FailingGrowth failing;
    EXPECT_EQ(0, client.SetEncryptedImageMap("/SetEncryptedImageMap?GUID=k", record, 4));
    EXPECT_FALSE(client.AddFileToWhiteList("C:\\a"));
  }
  uint32_t size = 0;
  EXPECT_EQ(0, client.GetEncryptedImageMap("/GetEncryptedImageMap?GUID=k", nullptr, &size));
  EXPECT_FALSE(client.FileIsInWhiteList("C:\\a"));
  // Once the lock can be had again, the same calls work.
  EXPECT_EQ(1, client.SetEncryptedImageMap("/SetEncryptedImageMap?GUID=k", record, 4));
  EXPECT_TRUE(client.AddFileToWhiteList("C:\\a"));
  EXPECT_TRUE(client.FileIsInWhiteList("C:\\a"));
}

// Settings reads that cannot take SettingsLock give the value last known (or
// the caller's default), not a read of a file another thread may be
// rewriting. (A read kept from before touches no file: the file changes
// first, so that it must be read.)
TEST(FailClosed, SettingsReadsGiveWhatWasKnownWhenRefused) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\nKey=first\r\n");
  ASSERT_EQ("first", GetConfiguration("Key", "default"));
  test::SetConfigurationText("[TK]\r\nLogLevel=1\r\nKey=value\r\nPort_mn_0=qro\r\nPort_mp_0=5\r\n");
  // Fill the lock's holder table with parked readers, so that one more
  // holder needs the table to grow.
  ReentrantRwLock& lock = SettingsLock();
  std::atomic<bool> release{false};
  std::atomic<int> parked{0};
  std::vector<std::thread> readers;
  const int room = lock.Inspect().holderCapacity - lock.Inspect().holders;
  for (int i = 0; i < room; ++i)
    readers.emplace_back([&] {
      lock.LockShared();
      ++parked;
      while (!release) std::this_thread::sleep_for(1ms);
      lock.UnlockShared();
    });
  while (parked < room) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(lock.Inspect().holderCapacity, lock.Inspect().holders);
  {
    FailingGrowth failing;
    EXPECT_EQ("first", GetConfiguration("Key", "default"));  // the value last known
    EXPECT_TRUE(ReadPorts().empty());
  }
  release = true;
  for (auto& reader : readers) reader.join();
  test::EditsShow();
  EXPECT_EQ("value", GetConfiguration("Key", "default"));
  EXPECT_EQ((PortTable{{"qro", 5}}), ReadPorts());
}

}  // namespace
}  // namespace zep
