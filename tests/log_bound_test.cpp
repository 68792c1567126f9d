#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "settings/log.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

// Pages choose much of what a line holds (an unknown command's name, say):
// the log file is bounded, so no page fills the disk by sending commands.
TEST(LogBound, AFullLogStartsOverWithANote) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=2\r\n");  // 14 at the start would fix the mask for good
  const std::string file = GetSettingsPaths().serviceLogFile;
  {
    std::ofstream grown(file, std::ios::binary | std::ios::app);
    const std::string line(1023, 'x');
    for (int i = 0; i < 64 * 1024; ++i) grown << line << '\n';  // 64 MiB after the start's lines
  }
  LogError("Invalid function name: %s.", "past");
  LogError("Invalid function name: %s.", "after");
  const std::string text = test::ReadFileText(file);
  const std::string head = "\\[Process: *[0-9]+ Thread: *[0-9]+\\] \\[[0-9/]{10} [0-9:.]{12}\\] ";
  EXPECT_TRUE(std::regex_match(
      text, std::regex(head + "\\[Info-0\\]: The log reached 67108864 bytes and starts over here\\.\n" + head +
                       "\\[Error-0\\]: Invalid function name: past\\. GetLastError = [0-9]+\\.\n" + head +
                       "\\[Error-0\\]: Invalid function name: after\\. GetLastError = [0-9]+\\.\n")))
      << text.substr(0, 1000);
}

}  // namespace
}  // namespace zep
