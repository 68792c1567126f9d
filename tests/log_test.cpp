// What the log holds, line by line, and what it never writes into.
#include "settings/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/system_error.h"
#include "platform/thread_identity.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n");
    test::TakeLog();
  }
};

// The exact prefix (the date month first; either day when the line straddles
// midnight), the error suffix, a page's text kept to its line, and the
// caller's error code left alone. The level is read again for every line,
// whichever thread changed the file.
TEST_F(LogTest, LinesCarryTheExactPrefixAndErrorSuffix) {
  const auto today = [] {
    const std::time_t now = std::time(nullptr);
    char text[16];
    return std::string(text, std::strftime(text, sizeof text, "%m/%d/%Y", std::localtime(&now)));
  };
  const std::string dayBefore = today();
  platform::SetLastSystemError(5);
  LogInfo("%s:%d is active and used.", "127.0.0.1", 80);
  const char page[] = "x\n[Process:     1 Thread:     1] forged\r\t\x01\x7F\\n\0tail";
  LogError("%s", LogText(std::string(page, sizeof page - 1)).c_str());
  EXPECT_EQ(5u, platform::LastSystemError());
  std::thread([] { test::SetConfigurationText("[TK]\r\nLogLevel=6\r\n"); }).join();
  LogDebug("not written");
  const std::string text = test::TakeLog();
  const std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(2u, lines.size()) << text;
  EXPECT_EQ(std::string::npos, text.find('\r'));
  char head[64];
  std::snprintf(head, sizeof head, "\\[Process:%6d Thread:%6d\\] \\[(", static_cast<int>(platform::CurrentProcessId()),
                static_cast<int>(platform::CurrentThreadId()));
  const std::string time = ") [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\] ";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(head + dayBefore + "|" + today() + time +
                                                    "\\[Info-0\\]: 127\\.0\\.0\\.1:80 is active and used\\.")))
      << lines[0];
  EXPECT_EQ("x\\n[Process:     1 Thread:     1] forged\\r\\t\\x01\\x7F\\n\\x00tail GetLastError = 5.",
            test::MessageOf(lines[1]));
}

// Long lines are written whole, and lines from several threads never mix.
TEST_F(LogTest, LongLinesFromManyThreadsAreWholeAndNeverMix) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      const std::string body(6000, static_cast<char>('a' + t));
      for (int i = 0; i < 20; ++i) LogDebug("%d:%s|end", t, body.c_str());
    });
  for (auto& thread : threads) thread.join();
  const std::vector<std::string> lines = Lines(test::TakeLog());
  ASSERT_EQ(80u, lines.size());
  for (const std::string& line : lines) {
    const std::string message = test::MessageOf(line);
    ASSERT_EQ(std::string(6000, static_cast<char>('a' + (message[0] - '0'))) + "|end", message.substr(2));
  }
}

// The log folder is open to every user, who may plant anything at tks.log: a
// hard link to a file of the service's, a link, a FIFO. The module writes
// into none of them, never blocks, and loses those lines. Nor is a log made
// in the working directory (System32, for a service) when there is no folder.
TEST_F(LogTest, WhatIsPlantedAtTheLogIsNeverWritten) {
  const std::string log = GetSettingsPaths().serviceLogFile;
  const std::string target = test::ModuleDirectory() + "planted-target";
  const auto plant = [&](const std::function<void()>& make) {
    std::filesystem::remove(log);
    test::WriteFileText(target, "root's own\n");
    make();
    LogError("* * * * * root planted");
    EXPECT_EQ("root's own\n", test::ReadFileText(target));
    std::filesystem::remove(log);
  };
  plant([&] { std::filesystem::create_hard_link(target, log); });
#ifndef _WIN32
  plant([&] { std::filesystem::create_symlink(target, log); });
  plant([&] { ASSERT_EQ(0, mkfifo(log.c_str(), 0666)); });  // no reader: an open for writing would wait
#endif
  LogError("own line");
  EXPECT_NE(std::string::npos, test::ReadFileText(log).find("]: own line GetLastError = "));
  EXPECT_EQ("", ResolveLogFilePath("", "tku.log"));
  EXPECT_FALSE(test::FileExists("tku.log"));
#ifndef _WIN32
  // Nobody else can remove or replace what the service made in the shared folder.
  struct stat folder {};
  ASSERT_EQ(0, stat(GetSettingsPaths().logDirectory.c_str(), &folder));
  EXPECT_EQ(01777u, folder.st_mode & 07777u);
  if (geteuid() == 0) {
    EXPECT_TRUE(test::AsUnprivilegedUser([&] { return unlink(log.c_str()) != 0 && errno == EPERM; }));
  }
#endif
}

// The level reader keeps a fixed 260-byte copy of the configuration path. A
// longer path is refused, not cut: the cut path names another file, which here
// exists and would turn Debug lines on.
TEST(LogConfiguration, OverlongConfigurationPathIsRefused) {
  const std::string sep = test::Separator();
  const std::string folder = test::ModuleDirectory() + "long" + sep + std::string(120, 'a') + sep;
  std::filesystem::create_directories(folder);
  const std::string cut = folder + std::string(259 - folder.size(), 'b');
  test::WriteFileText(cut, "[TK]\r\nLogLevel=8\r\n");
  const std::string logFile = GetSettingsPaths().serviceLogFile;
  SetLogTargets(cut, logFile);
  EXPECT_EQ(8, GetLogLevel());  // the file itself is readable
  SetLogTargets(cut + std::string(41, 'c'), logFile);
  EXPECT_EQ(1, GetLogLevel());
  SetLogTargets(GetConfigurationFilePath(), logFile);
  std::filesystem::remove_all(test::ModuleDirectory() + "long");
}

}  // namespace
}  // namespace zep
