// The settings files as callers meet them: the user's folders within their
// buffers, blank and missing INI values, and a padded file open to every user.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/file_system.h"
#include "platform/profile.h"
#include "settings/paths.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

#ifndef _WIN32
// LocalLow replaces Roaming; a folder too long for the buffers is cut or
// refused, never written past them.
TEST(UserFolders, LocalLowReplacesRoamingWithinTheBuffers) {
  const char* home = std::getenv("HOME");
  const std::string saved = home != nullptr ? home : "";
  char localLow[kMaxPath + 16], vendor[kMaxPath + 16];
  setenv("HOME", "/home/user1/", 1);
  ASSERT_TRUE(GetLocalLowFolder(localLow));
  EXPECT_STREQ("/home/user1/AppData/LocalLow", localLow);
  GetVendorLocalLowFolder(vendor);
  EXPECT_STREQ("/home/user1/AppData/LocalLow/Corvantis/", vendor);
  setenv("HOME", ("/" + std::string(242, 'h')).c_str(), 1);  // Roaming at 259: LocalLow would not fit
  std::memset(localLow, 'X', sizeof localLow);
  std::memset(vendor, 'X', sizeof vendor);
  EXPECT_TRUE(GetLocalLowFolder(localLow));
  GetVendorLocalLowFolder(vendor);
  setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(259u, std::strlen(localLow));
  EXPECT_EQ('X', localLow[kMaxPath]);
  EXPECT_STREQ("", vendor);  // refused: it cannot hold the vendor folder
  EXPECT_EQ('X', vendor[kMaxPath]);
}

// A user with no home (no HOME, no account entry) has no vendor folder, not
// one at the root of the file system.
TEST(UserFolders, NoHomeMeansNoVendorFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "taking a uid without an account needs root";
  EXPECT_TRUE(test::InChildProcess([] {
    char vendor[kMaxPath] = "unchanged";
    unsetenv("HOME");
    if (setuid(54321) != 0) return false;  // no account of that number
    GetVendorLocalLowFolder(vendor);
    return vendor[0] == '\0';
  }));
}
#endif

class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n"); }
};

// INI semantics of the kept reads: blank values are missing ones, names ignore case.
TEST_F(SettingsFiles, EmptyAndMissingValuesGiveTheDefault) {
  test::SetConfigurationText("[TK]\r\nEmpty=\r\nBlank=   \r\nValue=  text with blanks  \r\n");
  EXPECT_EQ("dflt", GetConfiguration("Empty", "dflt"));
  EXPECT_EQ("dflt", GetConfiguration("Blank", "dflt"));
  EXPECT_EQ("dflt", GetConfiguration("Missing", "dflt"));
  EXPECT_EQ("", GetConfiguration("Missing", nullptr));
  EXPECT_EQ("text with blanks", GetConfiguration("Value", "dflt"));
  EXPECT_EQ("text with blanks", GetConfiguration("VALUE", nullptr));  // names ignore case
  EXPECT_EQ(std::string(519, 'd'), GetConfiguration("Missing", std::string(600, 'd').c_str()));
  EXPECT_EQ("0", ReadIniValue("NoSection", "k", "0", test::ModuleDirectory() + "absent.ini"));
}

// The file is open to every user: one padded past the bound is not read (and
// said so once), on both targets; nor when it is swapped with a small one
// under the reader, as fast as renames go (its size and text come from one open).
TEST_F(SettingsFiles, APaddedUserConfigurationIsNotRead) {
  const std::string sid = "S-1-22-1-1001";
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\n");
  test::TakeLog();
  const std::string file = GetUserConfigurationFilePath();
  test::WriteFileText(file, "[" + sid + "]\r\nzep=20001\r\n;" + std::string(platform::kMaxProfileFileBytes, 'x'));
  EXPECT_EQ(0, ReadUserPort(sid, "zep", false));
  EXPECT_EQ(0, ReadUserPort(sid, "zep", false));
  const std::string log = test::TakeLog();
  const std::string line =
      "]: ReadIniValue:: " + file + " is larger than 1048576 bytes and is not read. GetLastError = ";
  const size_t first = log.find(line);
  EXPECT_NE(std::string::npos, first) << log;
  EXPECT_EQ(std::string::npos, log.find(line, first + 1));
  test::WriteFileText(file, "[" + sid + "]\r\nzep=20001\r\n;" + std::string(1000, 'x'));
  EXPECT_EQ(20001, ReadUserPort(sid, "zep", false));

  const std::string large = file + ".large", small = file + ".small";
  {
    std::ofstream text(large, std::ios::binary);
    text << "[" << sid << "]\r\nzep=20002\r\n;";
    const std::string megabyte(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) text << megabyte;
  }
  std::atomic<bool> racing{true};
  std::thread swapper([&] {
    std::error_code ignored;
    while (racing) {
      std::filesystem::rename(file, small, ignored);
      std::filesystem::rename(large, file, ignored);
      std::filesystem::rename(file, large, ignored);
      std::filesystem::rename(small, file, ignored);
    }
  });
  bool largeRead = false;
  for (int i = 0; i < 1000 && !largeRead; ++i) {
    char value[16] = {0};
    platform::ReadProfileValue(sid.c_str(), "zep", "0", value, sizeof value, file.c_str());
    largeRead = std::string(value) == "20002";
  }
  racing = false;
  swapper.join();
  EXPECT_FALSE(largeRead);
  test::RemoveFile(large);
  test::RemoveFile(small);
}

}  // namespace
}  // namespace zep
