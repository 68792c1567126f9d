#include "common/growable_array.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace zep {
namespace {

TEST(GrowableArray, GrowthStepsFollowTheSize) {
  GrowableArray<uint32_t> array;
  std::vector<int> capacities;
  for (uint32_t i = 0; i < 60; ++i) {
    ASSERT_EQ(static_cast<int>(i), array.Append(i));
    capacities.push_back(array.Capacity());
  }
  EXPECT_EQ(1, capacities[0]);
  EXPECT_EQ(5, capacities[1]);
  EXPECT_EQ(9, capacities[5]);
  EXPECT_EQ(41, capacities[40]);  // 37 + 4 while the size is below 40
  EXPECT_EQ(46, capacities[41]);  // from 40 elements on the step is size / 8
  for (uint32_t i = 0; i < 60; ++i) EXPECT_EQ(i, array[static_cast<int>(i)]);
}

TEST(GrowableArray, RemoveMovesTheRestDown) {
  GrowableArray<uint32_t> array;
  for (uint32_t i = 0; i < 5; ++i) array.Append(i * 10);
  array.RemoveAt(array.IndexOf(20));
  ASSERT_EQ(4, array.Size());
  EXPECT_EQ(30u, array[2]);
  EXPECT_EQ(40u, array[3]);
  EXPECT_EQ(5, array.Capacity());
  array.RemoveAt(-1);
  array.RemoveAt(9);
  EXPECT_EQ(4, array.Size());
  EXPECT_TRUE(array.SetSize(0));
  EXPECT_EQ(0, array.Capacity());
}

void* Fail(size_t) { return nullptr; }

TEST(GrowableArray, FailedGrowthChangesNothing) {
  GrowableArray<uint32_t> array;
  array.Append(7);
  const BlockAllocFn original = GrowableArrayAllocator();
  GrowableArrayAllocator() = &Fail;
  EXPECT_EQ(-1, array.Append(8));
  GrowableArrayAllocator() = original;
  EXPECT_EQ(1, array.Size());
  EXPECT_EQ(7u, array[0]);
}

}  // namespace
}  // namespace zep
