#include <gtest/gtest.h>

#include <regex>

#include "command_host.h"
#include "commands/manager_client.h"
#include "test_support.h"

namespace zep {
namespace {

using DispatcherTest = test::CommandTest;

// A page's method name reaches the log escaped: no page writes a line of its own.
TEST_F(DispatcherTest, NamesMatchExactly) {
  EXPECT_EQ(test::Failure("4", "versioninfo", -2200, "Function not found"),
            test::Send(R"({"id":"4","method":"versioninfo"})"));
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: Invalid function name: versioninfo. GetLastError = "));
  test::Send(R"({"id":"1","method":"A\n[Process:     1 Thread:     1] B"})");
  EXPECT_NE(std::string::npos,
            test::TakeLog().find("]: Invalid function name: A\\n[Process:     1 Thread:     1] B. "));
}

TEST_F(DispatcherTest, TimingLinesFrameTheCommand) {
  test::Send(R"({"id":"5","method":"ChangePort"})");
  const std::string log = test::TakeLog();
  for (const char* line : {R"(\[Debug-0\]: 2\. Before command actually start cost: [0-9]+ms\. id = \[5\]\.)",
                           R"(\[Debug-0\]: Twain function \[ChangePort\] begin: )",
                           R"(\]: 3\. Command process cost: [0-9]+ms\. cmd = \[ChangePort\]\. id = \[5\]\.)",
                           R"(\]: 4\. Command send back result cost: [0-9]+ms\. id = \[5\]\.\n)",
                           R"(\]: Receive Command: \{"id":"5","method":"ChangePort"\})"})
    EXPECT_TRUE(std::regex_search(log, std::regex(std::string(line) + "\n"))) << line;
}

TEST_F(DispatcherTest, UnsupportedClientsAreRefusedBeforeLookup) {
  EXPECT_EQ(test::Failure("1", "Nope", -2205,
                          "Unsupported browser client. Please try Lumora plugin edition for chrome in Chrome!"),
            test::Send(R"({"id":"1","method":"Nope"})", test::kLocalOrigin, 0, 0));
  const std::string log = test::TakeLog();
  EXPECT_EQ(std::string::npos, log.find("Invalid function name"));
  EXPECT_EQ(std::string::npos, log.find("Twain function"));
}

// Text that is not JSON, or that the parser refuses by throwing (too deep),
// is an unknown command with an empty name.
TEST_F(DispatcherTest, UnparsedTextIsAnUnknownEmptyName) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  for (const std::string& text :
       {std::string("not json"), deep, R"({"id":"1","cmdId":"c","method":"ChangePort","parameter":)" + deep + "}"}) {
    EXPECT_EQ(test::Failure("", "", -2200, "Function not found"), test::Send(text));
    const std::string log = test::TakeLog();
    EXPECT_NE(std::string::npos, log.find("]: Invalid function name: . GetLastError = "));
    EXPECT_EQ(text == "not json",
              log.find("]: Invalid json command format. cmd = [not json][3].\n") != std::string::npos);
  }
}

// The cmdId comes back with every byte (UTF-8 or Latin-1) but what JSON
// escapes; the reply's log line keeps its layout, with DEL escaped.
TEST_F(DispatcherTest, CmdIdKeepsEveryByteButWhatJsonEscapes) {
  for (const char* id : {"c\xC3\xA9xy", "c\xE9xy", "q\\\"b\\\\t\\t\\r\\n\\u0001\\u001f\x7f"})
    EXPECT_EQ(test::Reply("1", "ChangePort", "[ true ]", id),
              test::Send(std::string(R"({"id":"1","cmdId":")") + id + R"(","method":"ChangePort"})"));
  const std::string log = test::TakeLog();
  EXPECT_EQ(std::string::npos, log.find('\x7f'));
  EXPECT_NE(std::string::npos,
            log.find("]: result json = [" +
                     test::Reply("1", "ChangePort", "[ true ]", R"(q\"b\\t\t\r\n\u0001\u001f\x7F)") + "].\n"));
}

TEST_F(DispatcherTest, TooFewParametersAreCounted) {
  EXPECT_EQ(test::Failure("1", "CheckQROPort", -2202, "Invalid parameter count.", R"([ "127.0.0.1", 1, false ])"),
            test::Send(R"({"id":"1","method":"CheckQROPort","parameter":["127.0.0.1",1]})"));
  EXPECT_NE(
      std::string::npos,
      test::TakeLog().find("]: Invalidate parameter count. Need 3 parameter, 2 parameter actually. GetLastError = "));
}

TEST(LocalOrigin, PrefixOfTheLoopbackAddress) {
  for (const char* origin : {"http://127.0.0.1", "https://127.0.0.1", "http://127.0.0.1:18625",
                             "https://127.0.0.1:8443/path/page.html", "http://127.0.0.12", "http://127.0.0.1/"})
    EXPECT_TRUE(IsLocalOrigin(origin)) << origin;
  for (const char* origin :
       {"", "null", "http://localhost", "http://127.0.0.2", "HTTP://127.0.0.1", "http://127.0.0.1.evil.example",
        "http://127.0.0.1@evil.example", "http://127.0.0.1:80@evil.example", "https://127.0.0.1:443.evil.example",
        "http://127.0.0.10.evil.example", " http://127.0.0.1"})
    EXPECT_FALSE(IsLocalOrigin(origin)) << origin;
}

TEST(UserKey, MultiplyBy33Hash) {
  EXPECT_EQ("0", UserKeyOf(""));
  EXPECT_EQ("108966", UserKeyOf("abc"));
  EXPECT_EQ(std::to_string(static_cast<uint32_t>(-1)), UserKeyOf("\xFF"));  // bytes count as signed values
}

}  // namespace
}  // namespace zep
