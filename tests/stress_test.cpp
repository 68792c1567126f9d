// Several host threads use every entry point at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "module/entry_points.h"
#include "test_support.h"

namespace zep {
namespace {

std::atomic<int> delivered{0};

int32_t Count(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  if (text != nullptr && text[0] != '\0') ++delivered;
  return 1;
}

TEST(Stress, AllEntriesAtOnce) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n");
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  const char* commands[] = {
      "{\"id\":\"1\",\"method\":\"ChangePort\"}",
      "{\"id\":\"2\",\"method\":\"TKVersion\"}",
      "{\"id\":\"3\",\"method\":\"GetServerInfo\"}",
      "{\"id\":\"4\",\"method\":\"SetServerInfo\",\"parameter\":[\"h\",1,2,3,4]}",
      "{\"id\":\"5\",\"method\":\"nope\"}",
      "not json",
  };
  std::atomic<int> wrong{0};
  std::atomic<int> sent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<unsigned char> record(524), out(524);
      for (int i = 0; i < kRounds; ++i) {
        const char* command = commands[(i + t) % 6];
        if (DistributeCommand(1, 2, 0, "/zep/s", command, nullptr, 0, 1, &Count, 0, "http://127.0.0.1", 0, 0, 0) != 1)
          ++wrong;
        ++sent;
        const std::string key = std::to_string(t) + ":" + std::to_string(i);
        std::memset(record.data(), i & 0xFF, record.size());
        if (SetImage(("/SetEncryptedImageMap?GUID=" + key).c_str(), record.data(), 524) != 1) ++wrong;
        uint32_t size = 0;
        if (GetImage(("/GetEncryptedImageMap?GUID=" + key).c_str(), out.data(), &size) != 1 || out != record) ++wrong;
        if (i % 3 == 0) SetImage(("/SetEncryptedImageMap?GUID=" + key).c_str(), nullptr, 0);
        const std::string path = "C:\\s\\" + key;
        Reserved("addFileToWhiteList", path.c_str(), 0);
        if (Reserved("fileInQROWhiteList", path.c_str(), 0) != 0) ++wrong;
        const uint32_t wait = GetWaitTimeout();
        if (wait != 1 && wait != 100) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(sent.load(), delivered.load());
  std::vector<unsigned char> out(524);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) {
      uint32_t size = 0;
      const std::string key = std::to_string(t) + ":" + std::to_string(i);
      const int32_t found = GetImage(("/GetEncryptedImageMap?GUID=" + key).c_str(), out.data(), &size);
      EXPECT_EQ(i % 3 == 0 ? 0 : 1, found) << key;
      EXPECT_EQ(0, Reserved("fileInQROWhiteList", ("C:/s/" + key).c_str(), 0));
    }
}

}  // namespace
}  // namespace zep
