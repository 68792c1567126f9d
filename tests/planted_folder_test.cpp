// A per-user start whose folders another user planted: nothing is opened,
// created or opened up through them. Decided once per process, at the
// module's start.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "module/entry_points.h"
#include "platform/process_user.h"
#include "settings/paths.h"
#include "settings/settings_store.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zep {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
std::string OwnerOf(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* text = nullptr;
  std::string sid;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor) == ERROR_SUCCESS &&
      ConvertSidToStringSidA(owner, &text))
    sid = text;
  LocalFree(text);
  LocalFree(descriptor);
  return sid;
}

// Gives the folder to another account, as if that account had made it. Only
// under Wine, which takes a file's owner from its Unix owner (shown as the
// anonymous logon): the folder is given to nobody (65534) by chown, which
// Wine starts as any other program. False when that cannot be done.
bool GiveToAnotherAccount(const std::string& folder) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return false;
  char* name = unixName(fs::path(folder).wstring().c_str());
  if (name == nullptr) return false;
  std::string line = std::string("/bin/chown 65534 \"") + name + "\"";
  HeapFree(GetProcessHeap(), 0, name);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessA("Z:\\bin\\chown", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
    return false;
  WaitForSingleObject(started.hProcess, 10000);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return platform::GetProcessUserSID(GetCurrentProcessId()) != OwnerOf(folder);
}

// The folder under the user's own name in the shared log folder is another
// account's: the copy uses none of the folders under its name, but its own
// vendor folder for its log and the folders in it for its cache and upload,
// and nothing is made in the planted one.
TEST(PlantedFolder, APerUserStartUsesNoFolderAnotherUserMade) {
  const std::string folder = test::ModuleDirectory();
  const std::string sid = platform::GetProcessUserSID(GetCurrentProcessId());
  for (const char* name : {"log", "cache", "upload"}) fs::remove_all(folder + name);
  const std::string planted = folder + "log\\" + sid;
  fs::create_directories(planted);
  if (!GiveToAnotherAccount(planted)) GTEST_SKIP() << "only Wine, as root, can give a folder to another account here";
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\nEnableEnhancedMode=TRUE\r\n");
  ASSERT_TRUE(DoAction(4, nullptr, nullptr));
  char vendor[kMaxPath] = {0};
  GetVendorLocalLowFolder(vendor);
  const SettingsPaths paths = GetSettingsPaths();
  EXPECT_EQ(std::string(vendor), paths.logDirectory);
  EXPECT_EQ(std::string(vendor) + "cache\\", paths.cacheDirectory);
  EXPECT_EQ(std::string(vendor) + "upload\\", paths.uploadDirectory);
  EXPECT_EQ(std::string(vendor) + "tks.log", paths.serviceLogFile);
  EXPECT_TRUE(fs::is_empty(planted));
  DoAction(3, nullptr, nullptr);
}
#else
// Links to a private folder of the very user the copy runs as.
TEST(PlantedFolder, APerUserStartFollowsNoLinkToAPrivateFolder) {
  const std::string folder = test::ModuleDirectory();
  const std::string sid = platform::GetProcessUserSID(static_cast<uint32_t>(getpid()));
  const std::string secret = folder + "private";
  for (const char* name : {"log", "cache", "upload", "private"}) fs::remove_all(folder + name);
  fs::create_directory(secret);
  fs::permissions(secret, fs::perms::owner_all);
  for (const char* name : {"log", "cache", "upload"}) {
    fs::create_directory(folder + name);
    fs::create_directory_symlink(secret, folder + name + "/" + sid);
  }
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\nEnableEnhancedMode=TRUE\r\n");
  ASSERT_TRUE(DoAction(4, nullptr, nullptr));
  struct stat info {};
  ASSERT_EQ(0, stat(secret.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 07777u);
  EXPECT_TRUE(fs::is_empty(secret));
  DoAction(3, nullptr, nullptr);
}
#endif

}  // namespace
}  // namespace zep
