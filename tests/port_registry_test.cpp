#include "settings/port_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/profile.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

class PortRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n"); }
};

// The file is open to every user: one padded past the bound is not read (and
// said so once), on both targets; nor when it is swapped with a small one
// under the reader, as fast as renames go (its size and text come from one open).
TEST_F(PortRegistryTest, APaddedUserConfigurationIsNotRead) {
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
