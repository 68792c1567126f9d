#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
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
#include "commands/manager_client.h"
#include "platform/access_rights.h"
#include "platform/file_system.h"
#include "platform/network.h"
#include "platform/process_user.h"
#include "platform/thread_identity.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {

namespace {

using HostSystemTest = test::CommandTest;

TEST_F(HostSystemTest, RemoteOriginsAreRefused) {
  for (const char* method : {"Reboot", "AddFirewall", "GetLocalIP"})
    EXPECT_EQ(test::Failure("1", method, -1, "Only support access from local machine"),
              test::Send(std::string(R"({"id":"1","method":")") + method + "\"}", "http://localhost:8080"));
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
      const auto* address = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
      const auto* bytes = reinterpret_cast<const unsigned char*>(&address->sin_addr);
      addresses.push_back(std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) +
                          "." + std::to_string(bytes[3]));
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

TEST_F(HostSystemTest, LocalIPListsTheInterfacesButNotLoopback) {
  const std::string reply = test::Send("{\"id\":\"1\",\"cmdId\":\"c\",\"method\":\"GetLocalIP\"}", "https://127.0.0.1");
  ASSERT_TRUE(reply.size() >= 2 && reply.front() == '[' && reply.back() == ']') << reply;
  Json::Value parsed;
  ASSERT_TRUE(Json::Reader().parse(reply, parsed)) << reply;
  std::vector<std::string> listed;
  for (const Json::Value& address : parsed) listed.push_back(address.asString());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(MachineAddresses(), listed) << reply;
}

TEST(FirewallBatch, QuotesTheServicePath) {
  EXPECT_EQ(
      "@echo off\r\n"
      "netsh advfirewall firewall delete rule name=\"Corvantis_ServiceRule\"\r\n"
      "netsh advfirewall firewall add rule action=allow name=\"Corvantis_ServiceRule\" dir=in "
      "program=\"C:\\Program Files\\Corvantis\\service.exe\"\r\n"
      "del %0\r\n"
      "exit\r\n",
      FirewallBatchText("C:\\Program Files\\Corvantis\\service.exe"));
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
TEST_F(HostSystemTest, AddFirewallRunsTheBatchFile) {
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
  EXPECT_EQ(test::Reply("1", "AddFirewall", "[ true ]"), test::Send(R"({"id":"1","method":"AddFirewall"})"));
  EXPECT_NE(std::string::npos, test::TakeLog().find("[Debug-0]: ok to get temp path: " + folder + "\\\n"));
  EXPECT_TRUE(test::Eventually([&] { return !test::FileExists(batch); }, std::chrono::seconds(20)))
      << "the batch file did not run";
  EXPECT_FALSE(test::FileExists(planted));
  SetEnvironmentVariableA("TMP", saved[0] != '\0' ? saved : nullptr);
}
#endif

#ifndef _WIN32
// On POSIX the batch file is written but never run. The temporary folder is
// open to other users: a link or a file planted at the batch file's name is
// removed, never written through or into.
TEST_F(HostSystemTest, AddFirewallWritesTheBatchFileAndNeverThroughWhatOthersPlanted) {
  const std::string folder = test::ModuleDirectory() + "tmp", batch = folder + "/CorvantisServiceFirewall.bat";
  const std::string victim = folder + "/victim.txt";
  std::filesystem::create_directories(folder);
  setenv("TMPDIR", folder.c_str(), 1);
  auto addFirewall = [&] {
    EXPECT_EQ(test::Reply("1", "AddFirewall", "[ true ]"), test::Send(R"({"id":"1","method":"AddFirewall"})"));
    EXPECT_EQ(FirewallBatchText(GetServiceExecutablePath()), test::ReadFileText(batch));
  };
  test::RemoveFile(batch);
  addFirewall();
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

TEST_F(HostSystemTest, RebootEndsTheProcessAtOnce) {
  EXPECT_EXIT(test::Send("{\"id\":\"1\",\"method\":\"Reboot\"}", "http://127.0.0.1"), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace zep
