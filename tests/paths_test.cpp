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

#ifndef _WIN32
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
