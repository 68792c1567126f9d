// The module's first start in a fresh process, from an empty folder: the
// layout it creates, a tks.log that another program holds, and starts that
// overlap. Each of these is decided once per process, so this program starts
// the module once, from SetUpTestSuite.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "module/entry_points.h"
#include "settings/log.h"
#include "settings/settings_store.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace zep {
namespace {

std::string Folder() { return test::ModuleDirectory(); }

// Makes log/tks.log impossible to open for appending, as a program that holds
// it without sharing does on Windows.
class HeldLogFile {
 public:
  explicit HeldLogFile(const std::string& path) {
#ifdef _WIN32
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
#else
    // No mandatory locks here. A FIFO that another user planted there stands
    // in: opened for writing, it would wait for a reader forever.
    mkfifo(path.c_str(), 0666);
#endif
  }
  ~HeldLogFile() {
#ifdef _WIN32
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
#endif
  }

 private:
#ifdef _WIN32
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#endif
};

std::vector<SettingsPaths> seen;
std::unique_ptr<HeldLogFile> held;

class FirstStart : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* name : {"log", "cache", "upload", "dump", "user_config.ini", "tku.log"})
      std::filesystem::remove_all(Folder() + name);
    test::SetConfigurationText("[TK]\r\nLogLevel=14\r\n");
    std::filesystem::create_directories(Folder() + "log");
    held = std::make_unique<HeldLogFile>(Folder() + "log" + test::Separator() + "tks.log");

    // Four starts at once; each looks at the settings as soon as its start returns.
    constexpr int kStarts = 4;
    seen.resize(kStarts);
    std::atomic<int> ready{0};
    std::vector<std::thread> starts;
    for (int i = 0; i < kStarts; ++i)
      starts.emplace_back([i, &ready] {
        ++ready;
        while (ready < kStarts) std::this_thread::yield();
        zep::DoAction(0, nullptr, nullptr);
        seen[i] = GetSettingsPaths();
      });
    for (auto& start : starts) start.join();
  }
  static void TearDownTestSuite() { held.reset(); }
};

TEST_F(FirstStart, CreatesTheLayoutInAnEmptyFolder) {
  const std::string sep = test::Separator();
  const SettingsPaths paths = GetSettingsPaths();
  EXPECT_EQ(Folder(), paths.moduleDirectory);
  EXPECT_EQ(Folder() + "TKConfiguration.ini", paths.configurationFile);
  EXPECT_EQ(Folder() + "user_config.ini", paths.userConfigurationFile);
  EXPECT_EQ(Folder() + "cache" + sep, paths.cacheDirectory);
  EXPECT_EQ(Folder() + "dump" + sep, paths.dumpDirectory);
  for (const char* name : {"log", "cache", "upload", "dump"})
    EXPECT_TRUE(std::filesystem::is_directory(Folder() + name)) << name;
  EXPECT_TRUE(std::filesystem::is_regular_file(Folder() + "user_config.ini"));
  EXPECT_EQ(Folder() + "log" + sep + "tku.log", paths.userLogFile);
  EXPECT_TRUE(std::filesystem::is_regular_file(paths.userLogFile));
  EXPECT_FALSE(test::FileExists(Folder() + "tku.log"));
}

TEST_F(FirstStart, AHeldServiceLogGivesANumberedOne) {
  const std::string logFolder = Folder() + "log" + test::Separator();
  const std::string file = GetSettingsPaths().serviceLogFile;
  ASSERT_EQ(logFolder, file.substr(0, logFolder.size()));
  std::smatch number;
  const std::string name = file.substr(logFolder.size());
  ASSERT_TRUE(std::regex_match(name, number, std::regex("tks\\(([0-9]{1,5})\\)\\.log"))) << name;
  EXPECT_LE(std::stoi(number[1].str()), 32767);
  // The version line went to that file.
  EXPECT_NE(std::string::npos, test::ReadFileText(file).find("]: Version info:Corvantis Service Manager Module, "));
}

TEST_F(FirstStart, OverlappingStartsSeeTheWholeInitialisation) {
  const SettingsPaths paths = GetSettingsPaths();
  for (const SettingsPaths& other : seen) {
    EXPECT_EQ(paths.moduleDirectory, other.moduleDirectory);
    EXPECT_EQ(paths.configurationFile, other.configurationFile);
    EXPECT_EQ(paths.logDirectory, other.logDirectory);
    EXPECT_EQ(paths.serviceLogFile, other.serviceLogFile);
    EXPECT_EQ(paths.userLogFile, other.userLogFile);
  }
  EXPECT_EQ(14, GetLogLevel());
}

}  // namespace
}  // namespace zep
