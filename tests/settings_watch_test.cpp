// The log level and the kept settings reads follow the files: an edit shows
// within a bounded wait, a failed read is never kept, and a forked child has
// a watch of its own. (The module's own writes show at once: the settings
// transcripts read back what a command just wrote.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "settings/log.h"
#include "settings/settings_reads.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

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

#ifndef _WIN32
// A child forked without exec uses the module while its parent changes the
// level: the parent sees every change, and the child's lines carry its own
// process number.
TEST_F(SettingsWatchTest, AForkedChildHasAWatchOfItsOwn) {
  ASSERT_TRUE(LevelShows(6));
  test::TakeLog();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Reads while the parent changes the level, then a line once the parent's last change shows.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) ReadIniValue("TK", "LogLevel", "0", Configuration().string());
    const bool shown = test::Eventually([] { return GetLogLevel() == 6; }, std::chrono::seconds(2));
    LogError("forked child");
    std::_Exit(shown ? 0 : 1);
  }
  for (int level : {8, 6, 8, 6, 8, 6}) {
    WriteNow(Configuration(), LevelText(level));
    EXPECT_TRUE(LevelShows(level));
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  char process[32];
  std::snprintf(process, sizeof process, "[Process:%6d ", static_cast<int>(child));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos, log.find(std::string(process))) << log;
}
#endif

}  // namespace
}  // namespace zep
