#include "settings/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "common/utf8_to_wide.h"
#include "test_support.h"

namespace zep {
namespace {

namespace fs = std::filesystem;

// Overlong forms are taken (the lenient decoder); what both decoders reject
// appends nothing at all.
TEST(Utf8ToWide, DecodesAndAppendsOrAppendsNothing) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"C:\\Daten\\\xC3\xA4\xE2\x82\xAC", u"C:\\Daten\\\u00e4\u20ac"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"", u""},
      {"\x43\x3A\xC0\xAF\x78", u"C:/x"},
      {"a\xE0\x80\xAF", u"a/"},
      {"\x43\x3A\x80", u""},       // stray continuation
      {"\xC0", u""},               // missing continuation
      {"\xED\xA0\x80", u""},       // surrogate value
      {"\xF8\x88\x80\x80", u""},   // lead byte of 0xF8
      {"\xF4\x90\x80\x80", u""}};  // above 0x10FFFF
  for (const auto& c : cases) {
    std::u16string out = u"kept";
    Utf8ToWide(c.first.data(), c.first.size(), out);
    EXPECT_EQ(u"kept" + c.second, out) << c.first;
  }
}

class DirectoryChain : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string Path(std::string relative) {
    for (char& c : relative)
      if (c == '/') c = test::Separator()[0];
    return root_ + test::Separator() + relative;
  }
  const std::string root_ = test::ModuleDirectory() + "write_test";
};

TEST_F(DirectoryChain, StopsAtTheParent) {
  const std::string path = Path("d/e/f.txt");
  std::u16string wide;
  Utf8ToWide(path.data(), path.size(), wide);
  EXPECT_TRUE(CreateDirectoryChain(wide));
  EXPECT_TRUE(fs::is_directory(Path("d/e")));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(CreateParentDirectories(Path("g/h/i/")));  // a trailing separator: the folder itself
  EXPECT_TRUE(fs::is_directory(Path("g/h/i")));
  EXPECT_FALSE(CreateDirectoryChain(u""));
  EXPECT_TRUE(CreateDirectoryChain(u"nothing-to-create"));
}

}  // namespace
}  // namespace zep
