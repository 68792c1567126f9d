// The settings folder watch: a change made by this thread, by another thread
// or by replacing a file shows on this thread's next poll, on every thread,
// and a watch does not answer for a folder it replaced.
#include "platform/folder_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#endif

#include "platform/file_system.h"
#include "test_support.h"

namespace zep {
namespace {

namespace fs = std::filesystem;

// Polls until a poll finds nothing: every change made so far has been seen.
// Bounded, in case a folder keeps changing.
bool Settle(platform::FolderWatch& watch) {
  for (int i = 0; i < 1000; ++i)
    if (!watch.Changed()) return true;
  return false;
}

// A rename or removal shows on the next poll too. Under Wine wineserver makes
// these itself and posts their notice after it has answered the call, so the
// notice comes a moment later there: wait for it, for a bounded time.
bool RenameOrRemovalShows(platform::FolderWatch& watch) {
#ifdef _WIN32
  for (int i = 0; i < 5000; ++i) {
    if (watch.Changed()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
#else
  return watch.Changed();
#endif
}

class FolderWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::ModuleDirectory() + "watched" + platform::kPathSeparator;
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string folder_;
};

TEST_F(FolderWatchTest, EveryChangeShowsOnTheNextPoll) {
  platform::FolderWatch watch(folder_);
  ASSERT_TRUE(Settle(watch));
  EXPECT_FALSE(watch.Changed());
  for (int round = 0; round < 20; ++round) {
    test::WriteFileText(folder_ + "TKConfiguration.ini", "[TK]\r\nLogLevel=" + std::to_string(round) + "\r\n");
    EXPECT_TRUE(watch.Changed()) << round;
    ASSERT_TRUE(Settle(watch));
  }
  // A file put in place under the name of another.
  test::WriteFileText(folder_ + "next.ini", "[TK]\r\n");
  ASSERT_TRUE(Settle(watch));
  fs::rename(folder_ + "next.ini", folder_ + "TKConfiguration.ini");
  EXPECT_TRUE(RenameOrRemovalShows(watch));
  ASSERT_TRUE(Settle(watch));
  fs::remove(folder_ + "TKConfiguration.ini");
  EXPECT_TRUE(RenameOrRemovalShows(watch));
}

TEST_F(FolderWatchTest, ChangesShowOnEveryThread) {
  platform::FolderWatch watch(folder_);
  ASSERT_TRUE(Settle(watch));
  for (int round = 0; round < 10; ++round) {
    // Another thread changes the folder; this thread sees it once that is done.
    std::thread([&] { test::WriteFileText(folder_ + "a.ini", std::to_string(round)); }).join();
    EXPECT_TRUE(watch.Changed()) << round;
    ASSERT_TRUE(Settle(watch));
    // Another thread that polls too sees this thread's change, and its own.
    test::WriteFileText(folder_ + "b.ini", std::to_string(round));
    bool sawOurs = false, sawItsOwn = false, settled = false;
    std::thread([&] {
      sawOurs = watch.Changed();
      settled = Settle(watch);
      test::WriteFileText(folder_ + "c.ini", std::to_string(round));
      sawItsOwn = watch.Changed();
    }).join();
    EXPECT_TRUE(sawOurs) << round;
    EXPECT_TRUE(settled) << round;
    EXPECT_TRUE(sawItsOwn) << round;
    EXPECT_TRUE(watch.Changed()) << round;  // b.ini and c.ini, seen here as well
    ASSERT_TRUE(Settle(watch));
  }
}

TEST_F(FolderWatchTest, AReplacedWatchAnswersForItsOwnFolderOnly) {
  const std::string other = folder_ + "other" + platform::kPathSeparator;
  fs::create_directories(other);
  auto first = std::make_unique<platform::FolderWatch>(folder_);
  ASSERT_TRUE(Settle(*first));
  first.reset();
  platform::FolderWatch second(other);
  ASSERT_TRUE(Settle(second));
  test::WriteFileText(folder_ + "TKConfiguration.ini", "[TK]\r\n");  // the old folder
  EXPECT_FALSE(second.Changed());
  test::WriteFileText(other + "TKConfiguration.ini", "[TK]\r\n");
  EXPECT_TRUE(second.Changed());
}

// A thread's request must not outlive the memory it writes into: threads that
// polled and ended, then changes, and the memory those threads held is reused.
TEST_F(FolderWatchTest, ThreadsThatEndLeaveNoRequestBehind) {
  platform::FolderWatch watch(folder_);
  for (int round = 0; round < 5; ++round) {
    for (int t = 0; t < 20; ++t) std::thread([&] { watch.Changed(); }).join();
    std::vector<std::vector<unsigned char>> blocks;
    for (int i = 0; i < 200; ++i) blocks.emplace_back(1024 + 64 * (i % 16), static_cast<unsigned char>(i));
    for (int i = 0; i < 10; ++i) test::WriteFileText(folder_ + "c" + std::to_string(i) + ".ini", "[TK]\r\n");
    for (int i = 0; i < 10; ++i) watch.Changed();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // late completions land now
    for (int i = 0; i < 200; ++i)
      ASSERT_EQ(std::vector<unsigned char>(blocks[i].size(), static_cast<unsigned char>(i)), blocks[i]) << i;
  }
}

TEST(FolderWatch, AFolderThatCannotBeWatchedAlwaysCountsAsChanged) {
  platform::FolderWatch watch(test::ModuleDirectory() + "no such folder" + platform::kPathSeparator);
  EXPECT_TRUE(watch.Changed());
  EXPECT_TRUE(watch.Changed());
}

#ifndef _WIN32
// Refuses io_uring_setup to the calling thread (filters are per thread), as a
// kernel without io_uring or a container's filter does.
bool RefuseIoUringOnThisThread() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) return false;
  return syscall(__NR_io_uring_setup, 2, nullptr) == -1 && errno == ENOSYS;
}

TEST_F(FolderWatchTest, WithoutIoUringTheQueueIsReadEachTime) {
  platform::FolderWatch watch(folder_);
  bool refused = false, quiet = false, sawFirst = false, sawSecond = false, settled = false;
  std::thread([&] {
    refused = RefuseIoUringOnThisThread();
    quiet = Settle(watch) && !watch.Changed();
    test::WriteFileText(folder_ + "TKConfiguration.ini", "[TK]\r\nLogLevel=2\r\n");
    sawFirst = watch.Changed();
    settled = Settle(watch);
    std::thread([&] { test::WriteFileText(folder_ + "TKConfiguration.ini", "[TK]\r\nLogLevel=6\r\n"); }).join();
    sawSecond = watch.Changed();
  }).join();
  ASSERT_TRUE(refused);
  EXPECT_TRUE(quiet);
  EXPECT_TRUE(sawFirst);
  EXPECT_TRUE(settled);
  EXPECT_TRUE(sawSecond);
}
#endif

}  // namespace
}  // namespace zep
