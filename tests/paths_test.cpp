#include "settings/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/file_system.h"
#include "test_support.h"

namespace zep {
namespace {

TEST(FindNoCase, FindsAnOccurrenceInsideABrokenPartialMatch) {
  const char* path = "C:\\x\\AppData\\AppData\\Roaming";
  EXPECT_EQ(12, FindNoCase(path, "\\AppData\\Roaming", std::strlen(path)));
}

TEST(FindNoCase, IgnoresAsciiCaseOnly) {
  const char* path = "C:\\Users\\u\\appdata\\ROAMING";
  EXPECT_EQ(10, FindNoCase(path, "\\AppData\\Roaming", std::strlen(path)));
  EXPECT_EQ(-1, FindNoCase("\xC4", "\xE4", 1));  // no folding beyond A to Z
  EXPECT_EQ(-1, FindNoCase("abc", "", 3));
  EXPECT_EQ(-1, FindNoCase("abc", "a", 0));
  EXPECT_EQ(-1, FindNoCase("abcabc", "ca", 2));  // only the first n characters count
  EXPECT_EQ(2, FindNoCase("abcabc", "CA", 4));
}

TEST(TrimTrailingSeparators, RemovesBlanksThenBackslashesThenSlashes) {
  char mixed[] = "C:\\data\\/";
  TrimTrailingSeparators(mixed);
  EXPECT_STREQ("C:\\data\\", mixed);
  char all[] = "C:\\data\\\\ //";
  TrimTrailingSeparators(all);
  EXPECT_STREQ("C:\\data\\\\ ", all);
  char blanks[] = "dir\\  ";
  TrimTrailingSeparators(blanks);
  EXPECT_STREQ("dir", blanks);
}

TEST(CopyToPathBuffer, RefusesWhatDoesNotFit) {
  char buffer[kMaxPath];
  EXPECT_TRUE(CopyToPathBuffer(buffer, std::string(259, 'a')));
  EXPECT_EQ(259u, std::strlen(buffer));
  EXPECT_FALSE(CopyToPathBuffer(buffer, std::string(260, 'a')));
  EXPECT_STREQ("", buffer);
}

#ifdef _WIN32
TEST(UserFolders, VendorFolderLiesInLocalLow) {
  char vendor[kMaxPath];
  GetVendorLocalLowFolder(vendor);
  const std::string folder = vendor;
  const std::string tail = "\\AppData\\LocalLow\\Corvantis\\";
  ASSERT_GT(folder.size(), tail.size());
  EXPECT_EQ(tail, folder.substr(folder.size() - tail.size())) << folder;
}
#else
class UserFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = std::getenv("HOME");
    saved_ = home != nullptr ? home : "";
  }
  void TearDown() override { setenv("HOME", saved_.c_str(), 1); }
  std::string saved_;
};

TEST_F(UserFolders, LocalLowReplacesRoaming) {
  setenv("HOME", "/home/user1/", 1);
  char localLow[kMaxPath];
  ASSERT_TRUE(GetLocalLowFolder(localLow));
  EXPECT_STREQ("/home/user1/AppData/LocalLow", localLow);
  char vendor[kMaxPath];
  GetVendorLocalLowFolder(vendor);
  EXPECT_STREQ("/home/user1/AppData/LocalLow/Corvantis/", vendor);
}

TEST_F(UserFolders, OverlongFoldersStayInsideTheBuffers) {
  setenv("HOME", ("/" + std::string(300, 'h')).c_str(), 1);
  char localLow[kMaxPath + 16];
  std::memset(localLow, 'X', sizeof localLow);
  ASSERT_TRUE(GetLocalLowFolder(localLow));
  EXPECT_EQ(259u, std::strlen(localLow));
  EXPECT_EQ('X', localLow[kMaxPath]);
  char vendor[kMaxPath + 16];
  std::memset(vendor, 'X', sizeof vendor);
  GetVendorLocalLowFolder(vendor);
  EXPECT_STREQ("", vendor);  // refused: it cannot hold the vendor folder
  EXPECT_EQ('X', vendor[kMaxPath]);
}
#endif

}  // namespace
}  // namespace zep
