#include "settings/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "common/find_no_case.h"
#include "platform/file_system.h"
#include "test_support.h"

namespace zep {
namespace {

TEST(FindNoCase, FindsTheFirstOccurrenceIgnoringAsciiCaseOnly) {
  const auto find = [](const char* text, const char* pattern) { return FindNoCase(text, pattern, std::strlen(text)); };
  EXPECT_EQ(12, find("C:\\x\\AppData\\AppData\\Roaming", "\\AppData\\Roaming"));  // inside a broken partial match
  EXPECT_EQ(10, find("C:\\Users\\u\\appdata\\ROAMING", "\\AppData\\Roaming"));
  EXPECT_EQ(-1, find("\xC4", "\xE4"));  // no folding beyond A to Z
  EXPECT_EQ(-1, find("abc", ""));
  EXPECT_EQ(-1, FindNoCase("abc", "a", 0));
  EXPECT_EQ(-1, FindNoCase("abcabc", "ca", 2));  // only the first n characters count
  EXPECT_EQ(2, FindNoCase("abcabc", "CA", 4));
}

TEST(TrimTrailingSeparators, RemovesBlanksThenBackslashesThenSlashes) {
  const std::pair<std::string, const char*> cases[] = {
      {"C:\\data\\/", "C:\\data\\"}, {"C:\\data\\\\ //", "C:\\data\\\\ "}, {"dir\\  ", "dir"}};
  for (const auto& c : cases) {
    std::string text = c.first;
    TrimTrailingSeparators(&text[0]);
    EXPECT_STREQ(c.second, text.c_str()) << c.first;
  }
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
// LocalLow replaces Roaming; a folder too long for the buffers is cut or
// refused, never written past them.
TEST(UserFolders, LocalLowReplacesRoamingWithinTheBuffers) {
  const char* home = std::getenv("HOME");
  const std::string saved = home != nullptr ? home : "";
  char localLow[kMaxPath + 16], vendor[kMaxPath + 16];
  setenv("HOME", "/home/user1/", 1);
  ASSERT_TRUE(GetLocalLowFolder(localLow));
  EXPECT_STREQ("/home/user1/AppData/LocalLow", localLow);
  GetVendorLocalLowFolder(vendor);
  EXPECT_STREQ("/home/user1/AppData/LocalLow/Corvantis/", vendor);
  setenv("HOME", ("/" + std::string(242, 'h')).c_str(), 1);  // Roaming at 259: LocalLow would not fit
  std::memset(localLow, 'X', sizeof localLow);
  std::memset(vendor, 'X', sizeof vendor);
  EXPECT_TRUE(GetLocalLowFolder(localLow));
  GetVendorLocalLowFolder(vendor);
  setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(259u, std::strlen(localLow));
  EXPECT_EQ('X', localLow[kMaxPath]);
  EXPECT_STREQ("", vendor);  // refused: it cannot hold the vendor folder
  EXPECT_EQ('X', vendor[kMaxPath]);
}

// A user with no home (no HOME, no account entry) has no vendor folder, not
// one at the root of the file system.
TEST(UserFolders, NoHomeMeansNoVendorFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "taking a uid without an account needs root";
  EXPECT_TRUE(test::InChildProcess([] {
    char vendor[kMaxPath] = "unchanged";
    unsetenv("HOME");
    if (setuid(54321) != 0) return false;  // no account of that number
    GetVendorLocalLowFolder(vendor);
    return vendor[0] == '\0';
  }));
}
#endif

}  // namespace
}  // namespace zep
