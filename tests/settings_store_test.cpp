#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace zep {
namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n"); }
};

// INI semantics of the kept reads: blank values are missing ones, names ignore case.
TEST_F(SettingsStoreTest, EmptyAndMissingValuesGiveTheDefault) {
  test::SetConfigurationText("[TK]\r\nEmpty=\r\nBlank=   \r\nValue=  text with blanks  \r\n");
  EXPECT_EQ("dflt", GetConfiguration("Empty", "dflt"));
  EXPECT_EQ("dflt", GetConfiguration("Blank", "dflt"));
  EXPECT_EQ("dflt", GetConfiguration("Missing", "dflt"));
  EXPECT_EQ("", GetConfiguration("Missing", nullptr));
  EXPECT_EQ("text with blanks", GetConfiguration("Value", "dflt"));
  EXPECT_EQ("text with blanks", GetConfiguration("VALUE", nullptr));  // names ignore case
  EXPECT_EQ(std::string(519, 'd'), GetConfiguration("Missing", std::string(600, 'd').c_str()));
  EXPECT_EQ("0", ReadIniValue("NoSection", "k", "0", test::ModuleDirectory() + "absent.ini"));
}

}  // namespace
}  // namespace zep
