// Code guarded by a lock that refuses (its holder record cannot be stored)
// must not touch what the lock guards, and reports its failure result.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/growable_array.h"
#include "common/module_locks.h"
#include "module/virtual_manager_client.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

using namespace std::chrono_literals;

void* FailingAllocator(size_t) { return nullptr; }

class FailingGrowth {
 public:
  FailingGrowth() : original_(GrowableArrayAllocator()) { GrowableArrayAllocator() = &FailingAllocator; }
  ~FailingGrowth() { GrowableArrayAllocator() = original_; }

 private:
  BlockAllocFn original_;
};

TEST(FailClosed, WritersOfTheSingletonChangeNothingWhenRefused) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
  VirtualManagerClient client;  // its locks have no holder storage yet
  const char record[4] = {1, 2, 3, 4};
  {
    FailingGrowth failing;
    EXPECT_EQ(0, client.SetEncryptedImageMap("/SetEncryptedImageMap?GUID=k", record, 4));
    EXPECT_FALSE(client.AddFileToWhiteList("C:\\a"));
  }
  uint32_t size = 0;
  EXPECT_EQ(0, client.GetEncryptedImageMap("/GetEncryptedImageMap?GUID=k", nullptr, &size));
  EXPECT_FALSE(client.FileIsInWhiteList("C:\\a"));
  // Once the lock can be had again, the same calls work.
  EXPECT_EQ(1, client.SetEncryptedImageMap("/SetEncryptedImageMap?GUID=k", record, 4));
  EXPECT_TRUE(client.AddFileToWhiteList("C:\\a"));
  EXPECT_TRUE(client.FileIsInWhiteList("C:\\a"));
}

// Settings reads that cannot take SettingsLock give the value last known (or
// the caller's default), not a read of a file another thread may be
// rewriting. (A read kept from before touches no file: the file changes
// first, so that it must be read.)
TEST(FailClosed, SettingsReadsGiveWhatWasKnownWhenRefused) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\nKey=first\r\n");
  ASSERT_EQ("first", GetConfiguration("Key", "default"));
  test::SetConfigurationText("[TK]\r\nLogLevel=1\r\nKey=value\r\nPort_mn_0=qro\r\nPort_mp_0=5\r\n");
  // Fill the lock's holder table with parked readers, so that one more
  // holder needs the table to grow.
  ReentrantRwLock& lock = SettingsLock();
  std::atomic<bool> release{false};
  std::atomic<int> parked{0};
  std::vector<std::thread> readers;
  const int room = lock.Inspect().holderCapacity - lock.Inspect().holders;
  for (int i = 0; i < room; ++i)
    readers.emplace_back([&] {
      lock.LockShared();
      ++parked;
      while (!release) std::this_thread::sleep_for(1ms);
      lock.UnlockShared();
    });
  while (parked < room) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(lock.Inspect().holderCapacity, lock.Inspect().holders);
  {
    FailingGrowth failing;
    EXPECT_EQ("first", GetConfiguration("Key", "default"));  // the value last known
    EXPECT_TRUE(ReadPorts().empty());
  }
  release = true;
  for (auto& reader : readers) reader.join();
  test::EditsShow();
  EXPECT_EQ("value", GetConfiguration("Key", "default"));
  EXPECT_EQ((PortTable{{"qro", 5}}), ReadPorts());
}

}  // namespace
}  // namespace zep
