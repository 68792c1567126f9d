// A module started in work mode 3 with enhanced mode on and the log level
// fixed at 14: each of these is decided once per process.
#include <gtest/gtest.h>

#include <filesystem>

#include "command_host.h"
#include "module/entry_points.h"
#include "platform/thread_identity.h"
#include "settings/log.h"
#include "platform/process_user.h"
#include "settings/settings_store.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>

#include <sddl.h>
#endif

namespace zep {
namespace {

class StartupModes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test::SetConfigurationText("[TK]\r\nLogLevel=14\r\nEnableEnhancedMode=tRuE\r\n");
    std::filesystem::remove_all(test::ModuleDirectory() + "log");
    ASSERT_TRUE(zep::DoAction(4, nullptr, nullptr));
  }
};

TEST_F(StartupModes, EnhancedModeGivesPerUserDirectories) {
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  ASSERT_FALSE(sid.empty());
  const std::string sep = test::Separator();
  const SettingsPaths paths = GetSettingsPaths();
  EXPECT_EQ(test::ModuleDirectory() + "log" + sep + sid + sep + "tks.log", paths.serviceLogFile);
  EXPECT_EQ(test::ModuleDirectory() + "cache" + sep + sid + sep, paths.cacheDirectory);
  EXPECT_EQ(test::ModuleDirectory() + "upload" + sep + sid + sep, paths.uploadDirectory);
  EXPECT_EQ(test::ModuleDirectory() + "dump" + sep, paths.dumpDirectory);
  EXPECT_TRUE(std::filesystem::is_directory(paths.cacheDirectory));
  EXPECT_TRUE(EnhancedModeEnabled());
  // A user's own folders are open to that user (and the system), not to everyone.
  for (const std::string& own : {paths.logDirectory, paths.cacheDirectory, paths.uploadDirectory}) {
#ifdef _WIN32
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, GetNamedSecurityInfoA(own.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                   nullptr, nullptr, nullptr, &descriptor));
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, nullptr));
    // Windows keeps the list as set: D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;<sid>). Wine keeps
    // only Unix permissions and reads a list back from them, without the administrators.
    const std::string list = text;
    EXPECT_NE(std::string::npos, list.find("(A;OICI;FA;;;SY)")) << own << " " << list;
    EXPECT_NE(std::string::npos, list.find("(A;OICI;FA;;;" + sid + ")")) << own << " " << list;
    EXPECT_EQ(std::string::npos, list.find(";WD)")) << own << " " << list;
    LocalFree(text);
    LocalFree(descriptor);
#else
    EXPECT_EQ(std::filesystem::perms::owner_all,
              std::filesystem::status(own).permissions() & std::filesystem::perms::mask)
        << own;
#endif
  }
}

TEST_F(StartupModes, VersionLineAndFixedLevel) {
  const std::string log = test::ReadFileText(GetSettingsPaths().serviceLogFile);
  EXPECT_NE(std::string::npos,
            log.find("[Debug-3]: Version info:Corvantis Service Manager Module, zep service manager---16, 2, 6, 1212, "
                     "\r\n\t\tis64:1, isScanning=0, workMode=3, isQROActiveX=0\r\n\n"));
  test::SetConfigurationText("[TK]\r\nLogLevel=1\r\n");
  test::TakeLog();
  LogDebug("still written");
  EXPECT_NE(std::string::npos, test::TakeLog().find("[Debug-3]: still written\n"));
}

TEST_F(StartupModes, WorkModeThreeTurnsThePerUserModeOff) {
  const std::string reply = test::Send("{\"id\":\"1\",\"method\":\"VersionInfo\"}");
  EXPECT_NE(std::string::npos, reply.find("\"0\",\n      \"false\",\n      \"64\"\n   ]")) << reply;
}

}  // namespace
}  // namespace zep
