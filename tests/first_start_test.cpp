// The module's first start in a fresh process, from an empty folder: the
// layout it creates, a tks.log that another program holds, and starts that
// overlap. Each of these is decided once per process, so this program starts
// the module once, from SetUpTestSuite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
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

std::vector<SettingsPaths> seen;

class FirstStart : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* name : {"log", "cache", "upload", "dump", "user_config.ini", "tku.log"})
      std::filesystem::remove_all(Folder() + name);
    test::SetConfigurationText("[TK]\r\nLogLevel=14\r\n");
    std::filesystem::create_directories(Folder() + "log");
    // log/tks.log cannot be opened for appending. On Windows another program
    // holds it without sharing, until this process ends. POSIX has no
    // mandatory locks: a FIFO that another user planted there stands in, as
    // opened for writing it would wait for a reader forever.
    const std::string held = Folder() + "log" + test::Separator() + "tks.log";
#ifdef _WIN32
    CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
    mkfifo(held.c_str(), 0666);
#endif

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
};

// The layout it creates; a held tks.log gives a numbered one, which takes the
// version line; starts that overlap all see the whole initialisation.
TEST_F(FirstStart, CreatesTheLayoutAndANumberedLogBesideAHeldOne) {
  const std::string sep = test::Separator();
  const SettingsPaths p = GetSettingsPaths();
  EXPECT_EQ(
      (std::vector<std::string>{Folder(), Folder() + "TKConfiguration.ini", Folder() + "user_config.ini",
                                Folder() + "cache" + sep, Folder() + "dump" + sep, Folder() + "log" + sep + "tku.log"}),
      (std::vector<std::string>{p.moduleDirectory, p.configurationFile, p.userConfigurationFile, p.cacheDirectory,
                                p.dumpDirectory, p.userLogFile}));
  for (const char* name : {"log", "cache", "upload", "dump"})
    EXPECT_TRUE(std::filesystem::is_directory(Folder() + name)) << name;
  EXPECT_TRUE(std::filesystem::is_regular_file(Folder() + "user_config.ini"));
  EXPECT_TRUE(std::filesystem::is_regular_file(p.userLogFile));
  EXPECT_FALSE(test::FileExists(Folder() + "tku.log"));
  std::smatch number;
  const std::string name = p.serviceLogFile.substr(std::min(p.serviceLogFile.size(), (Folder() + "log" + sep).size()));
  ASSERT_TRUE(std::regex_match(name, number, std::regex("tks\\(([0-9]{1,5})\\)\\.log"))) << p.serviceLogFile;
  EXPECT_LE(std::stoi(number[1].str()), 32767);
  EXPECT_NE(std::string::npos, test::ReadFileText(p.serviceLogFile).find("]: Version info:Corvantis Service Manager "));
  const auto all = [](const SettingsPaths& p) {
    return std::vector<std::string>{p.moduleDirectory, p.configurationFile, p.userConfigurationFile, p.logDirectory,
                                    p.cacheDirectory,  p.uploadDirectory,   p.dumpDirectory,         p.userLogDirectory,
                                    p.serviceLogFile,  p.userLogFile};
  };
  for (const SettingsPaths& other : seen) EXPECT_EQ(all(p), all(other));
  EXPECT_EQ(14, GetLogLevel());
}

}  // namespace
}  // namespace zep
