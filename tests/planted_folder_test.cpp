// A per-user start whose folders another user planted as links (to a private
// folder of the very user the copy runs as): nothing is opened, created or
// opened up through them. Decided once per process, at the module's start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "module/entry_points.h"
#include "platform/process_user.h"
#include "test_support.h"

namespace zep {
namespace {

TEST(PlantedFolder, APerUserStartFollowsNoLinkToAPrivateFolder) {
  namespace fs = std::filesystem;
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

}  // namespace
}  // namespace zep
