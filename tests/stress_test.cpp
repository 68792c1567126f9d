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
  constexpr int kThreads = 4, kRounds = 150;
  const char* commands[] = {
      R"({"id":"1","method":"ChangePort"})",    R"({"id":"2","method":"TKVersion"})",
      R"({"id":"3","method":"GetServerInfo"})", R"({"id":"4","method":"SetServerInfo","parameter":["h",1,2,3,4]})",
      R"({"id":"5","method":"nope"})",          "not json"};
  const auto key = [](int t, int i) { return std::to_string(t) + ":" + std::to_string(i); };
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<unsigned char> record(524), out(524);
      for (int i = 0; i < kRounds; ++i) {
        if (DistributeCommand(1, 2, 0, "/zep/s", commands[(i + t) % 6], nullptr, 0, 1, &Count, 0, "http://127.0.0.1", 0,
                              0, 0) != 1)
          ++wrong;
        const std::string set = "/SetEncryptedImageMap?GUID=" + key(t, i), path = "C:\\s\\" + key(t, i);
        std::memset(record.data(), i & 0xFF, record.size());
        if (SetImage(set.c_str(), record.data(), 524) != 1) ++wrong;
        uint32_t size = 0;
        if (GetImage(("/GetEncryptedImageMap?GUID=" + key(t, i)).c_str(), out.data(), &size) != 1 || out != record)
          ++wrong;
        if (i % 3 == 0) SetImage(set.c_str(), nullptr, 0);
        Reserved("addFileToWhiteList", path.c_str(), 0);
        if (Reserved("fileInQROWhiteList", path.c_str(), 0) != 0) ++wrong;
        const uint32_t wait = GetWaitTimeout();
        if (wait != 1 && wait != 100) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(kThreads * kRounds, delivered.load());
  std::vector<unsigned char> out(524);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) {
      uint32_t size = 0;
      EXPECT_EQ(i % 3 == 0 ? 0 : 1, GetImage(("/GetEncryptedImageMap?GUID=" + key(t, i)).c_str(), out.data(), &size))
          << key(t, i);
      EXPECT_EQ(0, Reserved("fileInQROWhiteList", ("C:/s/" + key(t, i)).c_str(), 0));
    }
}

}  // namespace
}  // namespace zep
