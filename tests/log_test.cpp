// What the log holds, line by line, and what it never writes into; the log
// level and the kept settings reads follow the files: an edit shows within a
// bounded wait, and a failed read is never kept. (The module's own writes
// show at once: the settings transcripts read back what a command just wrote.)
#include "settings/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/system_error.h"
#include "platform/thread_identity.h"
#include "settings/settings_reads.h"
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
  std::thread([this] { Level("6"); }).join();
  platform::SetLastSystemError(5);
  LogInfo("%s:%d is active and used.", "127.0.0.1", 80);
  const char page[] = "x\n[Process:     1 Thread:     1] forged\r\t\x01\x7F\\n\0tail";
  LogError("%s", LogText(std::string(page, sizeof page - 1)).c_str());
  EXPECT_EQ(5u, platform::LastSystemError());
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

// The log folder is open to every user, who may plant anything at tks.log: a
// hard link to a file of the service's, a link, a FIFO. The module writes
// into none of them, never blocks, and loses those lines. Nor is a log made
// in the working directory (System32, for a service) when there is no folder.
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

namespace fs = std::filesystem;

// Polls the level until it is the one expected, for at most 50 ms.
bool LevelShows(int expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  do {
    if (GetLogLevel() == expected) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return GetLogLevel() == expected;
}

std::string LevelText(int level) { return "[TK]\r\nLogLevel=" + std::to_string(level) + "\r\n"; }

// Written without the test helper's wait: the watch alone must see it.
void WriteNow(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class SettingsWatchTest : public ::testing::Test {
 public:
  void SetUp() override {
    test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
    base_ = fs::path(test::ModuleDirectory()) / "watched";
    fs::remove_all(base_);
    fs::create_directories(base_);
    WriteNow(Configuration(), LevelText(6));
    SetLogTargets(Configuration().string(), GetSettingsPaths().serviceLogFile);
  }
  void TearDown() override {
    SetLogTargets(GetSettingsPaths().configurationFile, GetSettingsPaths().serviceLogFile);
    fs::remove_all(base_);
  }
  fs::path Configuration() const { return base_ / "TKConfiguration.ini"; }

  fs::path base_;
};

// Levels of one width, so that no edit changes the file's size, and rounds
// close together, so that edits share the file system clock's tick: a file
// written in place, and one replaced by rename.
TEST_F(SettingsWatchTest, EditsInPlaceAndByRenameShow) {
  for (bool rename : {false, true}) {
    ASSERT_TRUE(LevelShows(6));
    for (int level : {8, 6, 8, 6}) {
      WriteNow(rename ? base_ / "next.ini" : Configuration(), LevelText(level));
      if (rename) fs::rename(base_ / "next.ini", Configuration());
      EXPECT_TRUE(LevelShows(level)) << (rename ? "replaced by rename" : "written in place");
    }
  }
}

// An edit that leaves size and time stamps as they were (a file system clock
// that has not ticked yet, or a time set back) still shows while the stamp is
// recent.
TEST_F(SettingsWatchTest, AnEditThatKeepsItsStampShowsWhileTheStampIsRecent) {
#ifdef _WIN32
  // To the 100 ns: the C runtime behind last_write_time keeps whole seconds.
  FILETIME stamp{};
  GetSystemTimeAsFileTime(&stamp);
#else
  const fs::file_time_type stamp = fs::file_time_type::clock::now();
#endif
  for (int level : {8, 6}) {
    WriteNow(Configuration(), LevelText(level));
#ifdef _WIN32
    HANDLE file = CreateFileA(Configuration().string().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp));
    CloseHandle(file);
#else
    fs::last_write_time(Configuration(), stamp);
#endif
    EXPECT_TRUE(LevelShows(level)) << "level " << level;
  }
}

// Reads fail while the file cannot be opened (no descriptor left; on Windows,
// the file held without sharing); each call runs while they do.
void WhileReadsFail(const fs::path& file, const std::function<void()>& call) {
#ifdef _WIN32
  HANDLE held = CreateFileA(file.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  call();
  CloseHandle(held);
#else
  (void)file;
  rlimit original{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &original));
  rlimit lowered = original;
  lowered.rlim_cur = 256;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lowered));
  std::vector<int> taken;
  for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
  const int exhausted = errno;
  call();
  for (int fd : taken) close(fd);
  setrlimit(RLIMIT_NOFILE, &original);
  ASSERT_EQ(EMFILE, exhausted);
#endif
}

TEST_F(SettingsWatchTest, AFailedReadKeepsWhatWasKnown) {
  WriteNow(Configuration(), "[TK]\r\nLogLevel=6\r\nKey=first\r\n");
  ASSERT_TRUE(LevelShows(6));
  EXPECT_EQ("first", ReadIniValue("TK", "Key", "none", Configuration().string()));
  WriteNow(Configuration(), "[TK]\r\nLogLevel=8\r\nKey=later\r\n");
  test::EditsShow();
  // While the file cannot be read, the level and the value last read stand.
  WhileReadsFail(Configuration(), [&] {
    EXPECT_EQ(6, GetLogLevel());
    EXPECT_EQ("first", ReadIniValue("TK", "Key", "none", Configuration().string()));
  });
  // Once it can, the file is read again at the next look, with nothing else changed.
  test::EditsShow();
  EXPECT_EQ(8, GetLogLevel());
  EXPECT_EQ("later", ReadIniValue("TK", "Key", "none", Configuration().string()));
}

}  // namespace
}  // namespace zep
