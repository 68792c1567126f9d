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
#include <utility>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "module/entry_points.h"
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

// Today's local date as the log writes it, month first.
std::string Today() {
  const std::time_t now = std::time(nullptr);
  char text[16];
  return std::string(text, std::strftime(text, sizeof text, "%m/%d/%Y", std::localtime(&now)));
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
    test::TakeLog();
  }
  void Level(const std::string& level) { test::SetConfigurationText("[TK]\r\nLogLevel=" + level + "\r\n"); }
};

// Without the key nothing is written; the mask is read again for every line,
// whichever thread changed the file and whichever thread writes the line.
TEST_F(LogTest, TheMaskIsReadForEveryLine) {
  test::SetConfigurationText("[TK]\r\n");
  LogError("an error");
  EXPECT_EQ("", test::TakeLog());
  std::thread([&] { Level("6"); }).join();
  LogInfo("i");
  LogDebug("d");
  Level("8");
  std::thread([] { LogDebug("d"); }).join();
  const std::vector<std::string> lines = Lines(test::TakeLog());
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("i", test::MessageOf(lines[0]));
  EXPECT_EQ("d", test::MessageOf(lines[1]));
}

// A change made while a command runs (here by its host, when handed the
// reply) shows on the command's own next line.
TEST_F(LogTest, AChangeDuringACommandShowsOnItsNextLine) {
  static std::string next;
  for (const auto& change : {std::make_pair("8", "1"), std::make_pair("1", "8")}) {
    Level(change.first);
    next = change.second;
    test::TakeLog();
    zep::DistributeCommand(
        3, 0, 0, "/zep/cmd", "{\"id\":\"5\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
        [](uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) -> int32_t {
          test::SetConfigurationText("[TK]\r\nLogLevel=" + next + "\r\n");
          return 0;
        },
        0, "http://127.0.0.1:18625", 0, 0, 0);
    const std::string log = test::TakeLog();
    EXPECT_EQ(next == "1", log.find("]: 3. Command process cost: ") != std::string::npos) << log;
    EXPECT_EQ(next == "8", log.find("]: 4. Command send back result cost: ") != std::string::npos) << log;
  }
}

TEST_F(LogTest, LinesCarryTheExactPrefixAndErrorSuffix) {
  Level("14");
  const std::string dayBefore = Today();
  platform::SetLastSystemError(5);
  LogError("Invalid function name: %s.", "x");
  LogInfo("%s:%d is active and used.", "127.0.0.1", 80);
  // A text from a page keeps to its own line, whatever it holds.
  const char page[] = "x\n[Process:     1 Thread:     1] forged\r\t\x01\x7F\\n\0tail";
  LogError("%s", LogText(std::string(page, sizeof page - 1)).c_str());
  const uint32_t codeAfterLogging = platform::LastSystemError();
  const std::string text = test::TakeLog();
  const std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ('\n', text.back());
  EXPECT_EQ(std::string::npos, text.find('\r'));
  char process[32], thread[32];
  std::snprintf(process, sizeof process, "%6d", static_cast<int>(platform::CurrentProcessId()));
  std::snprintf(thread, sizeof thread, "%6d", static_cast<int>(platform::CurrentThreadId()));
  const std::string dayAfter = Today();
  // The date is month/day/year; either day counts when the line straddles midnight.
  const std::string head = std::string("\\[Process:") + process + " Thread:" + thread + "\\] \\[(" + dayBefore + "|" +
                           dayAfter + ") [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\] ";
  EXPECT_TRUE(
      std::regex_match(lines[0], std::regex(head + "\\[Error-0\\]: Invalid function name: x\\. GetLastError = 5\\.")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(head + "\\[Info-0\\]: 127\\.0\\.0\\.1:80 is active and used\\.")))
      << lines[1];
  EXPECT_EQ("x\\n[Process:     1 Thread:     1] forged\\r\\t\\x01\\x7F\\n\\x00tail GetLastError = 5.",
            test::MessageOf(lines[2]));
  EXPECT_EQ(5u, codeAfterLogging);  // logging leaves the caller's code alone
}

// Long lines are written whole, and lines from many threads never mix.
TEST_F(LogTest, LongLinesFromManyThreadsAreWholeAndNeverMix) {
  Level("8");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      const std::string body(6000, static_cast<char>('a' + t));
      for (int i = 0; i < 50; ++i) LogDebug("%d:%s|end", t, body.c_str());
    });
  for (auto& thread : threads) thread.join();
  const std::vector<std::string> lines = Lines(test::TakeLog());
  ASSERT_EQ(200u, lines.size());
  for (const std::string& line : lines) {
    const std::string message = test::MessageOf(line);
    ASSERT_EQ(6006u, message.size()) << line.substr(0, 80);
    EXPECT_EQ(std::string(6000, static_cast<char>('a' + (message[0] - '0'))) + "|end", message.substr(2));
  }
}

// The log folder is open to every user, who may plant anything at tks.log: a
// hard link to a file of the service's, a link, a FIFO. The module writes
// into none of them, never blocks, and loses those lines.
TEST_F(LogTest, WhatIsPlantedAtTheLogIsNeverWritten) {
  Level("14");
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
  // The owner's own file is written again.
  LogError("own line");
  EXPECT_NE(std::string::npos, test::ReadFileText(log).find("]: own line GetLastError = "));
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

// A folder that cannot take the file gives a numbered name; without a folder
// there is no log file: nothing may be created in the process's working
// directory (System32, for a service).
TEST(ResolveLogFilePath, FallsBackToANumberedNameAndNeverToTheWorkingDirectory) {
  const std::string directory = test::ModuleDirectory() + "missing-dir" + test::Separator();
  EXPECT_NE(directory + "tks.log", ResolveLogFilePath(directory, "tks.log"));
  EXPECT_EQ(directory + "plain", ResolveLogFilePath(directory, "plain"));
  const std::string good = test::ModuleDirectory();
  EXPECT_EQ(good + "probe.log", ResolveLogFilePath(good, "probe.log"));
  test::RemoveFile(good + "probe.log");
  test::RemoveFile("tku.log");
  EXPECT_EQ("", ResolveLogFilePath("", "tku.log"));
  EXPECT_FALSE(test::FileExists("tku.log"));
}

// The level reader keeps a fixed 260-byte copy of the configuration path. A
// longer path is refused, not cut: the cut path names another file, which here
// exists and would turn Debug lines on.
TEST(LogConfiguration, OverlongConfigurationPathIsRefused) {
  const std::string sep = test::Separator();
  const std::string folder = test::ModuleDirectory() + "long" + sep + std::string(120, 'a') + sep;
  std::filesystem::create_directories(folder);
  const std::string cut = folder + std::string(259 - folder.size(), 'b');
  ASSERT_EQ(259u, cut.size());
  test::WriteFileText(cut, "[TK]\r\nLogLevel=8\r\n");
  const std::string overlong = cut + std::string(41, 'c');
  const std::string logFile = GetSettingsPaths().serviceLogFile;
  SetLogTargets(cut, logFile);
  EXPECT_EQ(8, GetLogLevel());  // the file itself is readable
  SetLogTargets(overlong, logFile);
  EXPECT_EQ(1, GetLogLevel());
  SetLogTargets(GetConfigurationFilePath(), logFile);
  std::filesystem::remove_all(test::ModuleDirectory() + "long");
}

}  // namespace
}  // namespace zep
