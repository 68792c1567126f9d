#include "settings/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/system_error.h"
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
    test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
    test::TakeLog();
  }
  void Level(const std::string& level) { test::SetConfigurationText("[TK]\r\nLogLevel=" + level + "\r\n"); }
};

TEST_F(LogTest, NoLevelKeyWritesNothing) {
  test::SetConfigurationText("[TK]\r\n");
  LogError("an error");
  LogDebug("a debug line");
  EXPECT_EQ("", test::TakeLog());
}

TEST_F(LogTest, TheMaskIsReadForEveryLine) {
  Level("6");
  LogError("e1");
  LogInfo("i1");
  LogDebug("d1");
  std::vector<std::string> lines = Lines(test::TakeLog());
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("i1", test::MessageOf(lines[1]));
  Level("8");
  LogDebug("d2 %d", 2);
  LogInfo("i2");
  lines = Lines(test::TakeLog());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("d2 2", test::MessageOf(lines[0]));
}

TEST_F(LogTest, LinesCarryTheExactPrefixAndErrorSuffix) {
  Level("14");
  platform::SetLastSystemError(5);
  LogError("Invalid function name: %s.", "x");
  LogInfo("%s:%d is active and used.", "127.0.0.1", 80);
  const uint32_t codeAfterLogging = platform::LastSystemError();
  const std::string text = test::TakeLog();
  const std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ('\n', text.back());
  EXPECT_EQ(std::string::npos, text.find('\r'));
  char process[32], thread[32];
  std::snprintf(process, sizeof process, "%6d", static_cast<int>(platform::CurrentProcessId()));
  std::snprintf(thread, sizeof thread, "%6d", static_cast<int>(platform::CurrentThreadId()));
  const std::string head = std::string("\\[Process:") + process + " Thread:" + thread +
                           "\\] \\[[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\] ";
  EXPECT_TRUE(
      std::regex_match(lines[0], std::regex(head + "\\[Error-0\\]: Invalid function name: x\\. GetLastError = 5\\.")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(head + "\\[Info-0\\]: 127\\.0\\.0\\.1:80 is active and used\\.")))
      << lines[1];
  EXPECT_EQ(5u, codeAfterLogging);  // logging leaves the caller's code alone
}

TEST_F(LogTest, LongMessagesAreWrittenWhole) {
  Level("8");
  const std::string message(6000, 'm');
  LogDebug("%s|end", message.c_str());
  const std::vector<std::string> lines = Lines(test::TakeLog());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(message + "|end", test::MessageOf(lines[0]));
}

TEST_F(LogTest, LinesFromManyThreadsNeverMix) {
  Level("8");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      const std::string body(700, static_cast<char>('a' + t));
      for (int i = 0; i < 50; ++i) LogDebug("%d:%s", t, body.c_str());
    });
  for (auto& thread : threads) thread.join();
  const std::vector<std::string> lines = Lines(test::TakeLog());
  ASSERT_EQ(200u, lines.size());
  for (const std::string& line : lines) {
    const std::string message = test::MessageOf(line);
    ASSERT_EQ(702u, message.size()) << line.substr(0, 80);
    EXPECT_EQ(std::string(700, static_cast<char>('a' + (message[0] - '0'))), message.substr(2));
  }
}

TEST(LogNames, LevelNameIsTheFirstSharedFlag) {
  EXPECT_STREQ("Error", LogLevelName(2));
  EXPECT_STREQ("Info", LogLevelName(4));
  EXPECT_STREQ("Debug", LogLevelName(8));
  EXPECT_STREQ("NULL", LogLevelName(15));
  EXPECT_STREQ("Verbose", LogLevelName(16));
  EXPECT_STREQ("", LogLevelName(32));
}

TEST(ResolveLogFilePath, FallsBackToANumberedName) {
  const std::string sep = test::Separator();
  const std::string directory = test::ModuleDirectory() + "missing-dir" + sep;
  const std::string resolved = ResolveLogFilePath(directory, "tks.log");
  EXPECT_TRUE(std::regex_match(resolved.substr(directory.size()), std::regex("tks\\([0-9]+\\)\\.log"))) << resolved;
  EXPECT_EQ(directory + "plain", ResolveLogFilePath(directory, "plain"));
  const std::string good = test::ModuleDirectory();
  EXPECT_EQ(good + "probe.log", ResolveLogFilePath(good, "probe.log"));
  test::RemoveFile(good + "probe.log");
}

TEST(LogConfiguration, OverlongConfigurationPathIsRefused) {
  SetLogConfigurationFile(std::string(300, 'p'));
  EXPECT_EQ(1, GetLogLevel());
  SetLogConfigurationFile(GetConfigurationFilePath());
}

}  // namespace
}  // namespace zep
