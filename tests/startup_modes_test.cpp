// A module started in work mode 3 with enhanced mode on and the log level
// fixed at 14: each of these is decided once per process.
#include <gtest/gtest.h>

#include <filesystem>

#include "command_host.h"
#include "commands/manager_client.h"
#include "host_support/loopback_socket.h"
#include "module/entry_points.h"
#include "platform/process_user.h"
#include "platform/thread_identity.h"
#include "settings/log.h"
#include "settings/settings_store.h"
#include "test_support.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace zep {

namespace {

constexpr auto npos = std::string::npos;

TEST(StartupModes, EnhancedModeInWorkModeThree) {
  test::SetConfigurationText("[TK]\r\nLogLevel=14\r\nEnableEnhancedMode=tRuE\r\n");
  for (const char* shared : {"log", "cache", "upload"}) std::filesystem::remove_all(test::ModuleDirectory() + shared);
  ASSERT_TRUE(zep::DoAction(4, nullptr, nullptr));
  EXPECT_TRUE(EnhancedModeEnabled());
  // Each user has a log, cache and upload folder of their own.
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  ASSERT_FALSE(sid.empty());
  const std::string root = test::ModuleDirectory(), sep = test::Separator();
  const SettingsPaths paths = GetSettingsPaths();
  EXPECT_EQ(root + "log" + sep + sid + sep + "tks.log", paths.serviceLogFile);
  EXPECT_EQ(root + "cache" + sep + sid + sep, paths.cacheDirectory);
  EXPECT_EQ(root + "upload" + sep + sid + sep, paths.uploadDirectory);
  EXPECT_EQ(root + "dump" + sep, paths.dumpDirectory);
  EXPECT_TRUE(std::filesystem::is_directory(paths.cacheDirectory));
  // A user's own folders are made open to that user (and the system) alone.
  for (const std::string& own : {paths.logDirectory, paths.cacheDirectory, paths.uploadDirectory}) {
#ifdef _WIN32
    // Windows keeps the list as set. Wine keeps only Unix permissions and reads a list back from
    // them, without the administrators; a folder made without the list would read back with an
    // entry for everyone (the umask's r-x).
    const std::string list = test::AccessList(own);
    EXPECT_TRUE(list == "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + sid + ")" ||
                list == "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + sid + ")")
        << own << " " << list;
#else
    EXPECT_EQ(std::filesystem::perms::owner_all,
              std::filesystem::status(own).permissions() & std::filesystem::perms::mask)
        << own;
#endif
  }

  // Work mode 3 turns the per-user mode off; the version line is written at
  // the start, and the level stays 14 whatever the file says later.
  const std::string reply = test::Send(R"({"id":"1","method":"VersionInfo"})");
  EXPECT_NE(npos, reply.find("\"0\",\n      \"false\",\n      \"64\"\n   ]")) << reply;
  const std::string log = test::ReadFileText(GetSettingsPaths().serviceLogFile);
  EXPECT_NE(npos, log.find("[Debug-3]: Version info:Corvantis Service Manager Module, zep service manager---16, 2, 6, "
                           "1212, \r\n\t\tis64:1, isScanning=0, workMode=3, isQROActiveX=0\r\n\n"));
  test::SetConfigurationText("[TK]\r\nLogLevel=1\r\n");
  test::TakeLog();
  LogDebug("still written");
  EXPECT_NE(npos, test::TakeLog().find("[Debug-3]: still written\n"));

  // A copy starts no copies of its own: they would outlive the service.
  // (Wine names a connection's owner once its end has been used.)
  host::LoopbackListener own;
  host::TcpSocket page = host::ConnectLoopback(own.Port()), accepted = own.Accept();
  page.Send("x", 1);
  ASSERT_TRUE(
      test::Eventually([&] { return GetConnectionProcessID(accepted.Value()) == platform::CurrentProcessId(); }));
  const std::string key = UserKeyOf(sid);
  EXPECT_NE(npos, test::Send(R"({"id":"1","method":"VersionInfo"})", test::kLocalOrigin, accepted.Value()).find(key));
  EXPECT_EQ(test::Styled(R"({"event":"GetPorts","id":"p","cmdId":"","result":[")" + key +
                         R"(",{"qro":{"port":0,"sslPort":0},"zep":{"port":0,"sslPort":0}}]})"),
            test::Send(R"({"id":"p","method":"GetPorts","parameter":[")" + key + R"("]})", test::kLocalOrigin,
                       accepted.Value()));
  EXPECT_EQ(npos, test::TakeLog().find("Create progress return"));

#ifndef _WIN32
  // It serves its own user alone: another user's page is told what an
  // unknown client is told, and nothing is done.
  if (geteuid() != 0) return;
  host::LoopbackListener listener;
  test::PageOfAccount other(listener.Port(), test::kUnprivilegedUid);
  host::TcpSocket served = listener.Accept();
  EXPECT_EQ(test::Styled(R"({"description":"Unsupported browser client. Please try Lumora plugin edition for chrome )"
                         R"(in Chrome!","exception":-2205,"id":"1","method":"TKVersion","result":[false],"cmdId":""})"),
            test::Send(R"({"id":"1","method":"TKVersion"})", test::kLocalOrigin, served.Value()));
  const std::string lines = test::TakeLog();
  const size_t line = lines.rfind('\n', lines.find("RunCommand:: refused")) + 1;
  EXPECT_EQ(
      "RunCommand:: refused: user S-1-22-1-" + std::to_string(test::kUnprivilegedUid) + " is not this copy's user.",
      test::MessageOf(lines.substr(line, lines.find('\n', line) - line)));
#endif
}

}  // namespace
}  // namespace zep
