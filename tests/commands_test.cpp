// What a transcript cannot show: host callbacks that throw or call back in,
// the idle clock, ports that are busy or hang, and the commands that reach
// the machine (addresses, firewall batch file, restart).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <aclapi.h>
#include <iphlpapi.h>
#include <sddl.h>
#else
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#endif

#include <json/json.h>

#include "command_host.h"
#include "host_support/loopback_socket.h"
#include "module/entry_points.h"
#include "module/virtual_manager_client.h"
#include "platform/access_rights.h"
#include "platform/file_system.h"
#include "platform/process_user.h"
#include "platform/thread_identity.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
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

// Any request, answered or not (a skipped one is not), is activity.
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
}

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

// The machine's IPv4 addresses, asked of the system another way than the module does.
std::vector<std::string> MachineAddresses() {
  std::vector<std::string> addresses;
#ifdef _WIN32
  ULONG size = 0;
  GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size);
  std::vector<char> buffer(size == 0 ? 1 : size);
  auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  if (GetAdaptersAddresses(AF_INET, 0, nullptr, adapters, &size) != NO_ERROR) return addresses;
  for (auto* adapter = adapters; adapter != nullptr; adapter = adapter->Next)
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
      char text[INET_ADDRSTRLEN] = {0};
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr)->sin_addr, text,
                sizeof text);
      addresses.push_back(text);
    }
#else
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
    addresses.push_back(text);
  }
  freeifaddrs(list);
#endif
  addresses.erase(std::remove(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
  std::sort(addresses.begin(), addresses.end());
  return addresses;
}

TEST_F(CommandsTest, LocalIPListsTheInterfacesButNotLoopback) {
  const std::string reply = test::Send("{\"id\":\"1\",\"cmdId\":\"c\",\"method\":\"GetLocalIP\"}", "https://127.0.0.1");
  Json::Value parsed;
  ASSERT_TRUE(reply.size() >= 2 && reply.front() == '[' && Json::Reader().parse(reply, parsed)) << reply;
  std::vector<std::string> listed;
  for (const Json::Value& address : parsed) listed.push_back(address.asString());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(MachineAddresses(), listed) << reply;
}

#ifdef _WIN32
// The path's access list, in the system's string form.
std::string AccessList(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* text = nullptr;
  std::string list;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                            &descriptor) == ERROR_SUCCESS &&
      ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                           &text, nullptr))
    list = text;
  LocalFree(text);
  LocalFree(descriptor);
  return list;
}

// The shared folders are open to every user as the system's temporary folder
// is, and user_config.ini to everyone's reading and writing of its data. The
// batch file's folder is open to other users: a file planted there, that
// Everyone may change, is replaced by one that only SYSTEM, the
// Administrators and this user may change. Windows keeps the lists as set;
// Wine keeps Unix permissions only and reads a list back from them (SYSTEM,
// the owner, and everyone's read, write and execute bits; see the README).
TEST(AccessRights, SharedAndPrivateFiles) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  const SettingsPaths paths = GetSettingsPaths();
  for (const std::string& folder :
       {paths.logDirectory, paths.cacheDirectory, paths.uploadDirectory, paths.dumpDirectory}) {
    const std::string list = AccessList(folder);
    EXPECT_TRUE(list == "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;;0x1200af;;;WD)" ||
                list == "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + sid + ")(A;OICI;0x1301ff;;;WD)")
        << folder << " " << list;
  }
  const std::string shared = AccessList(paths.userConfigurationFile);
  EXPECT_TRUE(shared == "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008f;;;WD)" ||
              shared == "D:(A;;FA;;;SY)(A;;FA;;;" + sid + ")(A;;0x1301ff;;;WD)")
      << shared;

  const std::string path = test::ModuleDirectory() + "planted.bat";
  test::RemoveFile(path);
  test::WriteFileText(path, "planted");
  ASSERT_NE(0, platform::ShareWithEveryone(path.c_str()));
  ASSERT_NE(std::string::npos, AccessList(path).find(";;;WD)"));
  ASSERT_TRUE(platform::WriteNewPrivateFile(path, "made"));
  EXPECT_EQ("made", test::ReadFileText(path));
  const std::string made = AccessList(path);
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
  unsetenv("TMPDIR");
}

TEST_F(CommandsTest, RebootEndsTheProcessAtOnce) {
  EXPECT_EXIT(test::Send("{\"id\":\"1\",\"method\":\"Reboot\"}", "http://127.0.0.1"), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace zep
