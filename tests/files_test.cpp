#include "settings/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "settings/utf8_to_wide.h"
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

class WriteWholeFileTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    std::error_code ignored;  // Windows removes no read-only file
    fs::permissions(Path("ro.txt"), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }
  std::string Path(std::string relative) {
    for (char& c : relative)
      if (c == '/') c = test::Separator()[0];
    return root_ + test::Separator() + relative;
  }
  const std::string root_ = test::ModuleDirectory() + "write_test";
};

TEST_F(WriteWholeFileTest, CreatesTheDirectoriesOnTheWayAndReportsFailures) {
  const std::string path = Path("a/b/c.txt");
  EXPECT_EQ(0, WriteWholeFile(path.c_str(), "hello", 5));
  EXPECT_EQ("hello", test::ReadFileText(path));
  EXPECT_EQ(22, WriteWholeFile(nullptr, "x", 1));
  // A directory cannot be opened as a file: a negative code, never 0.
  EXPECT_LE(WriteWholeFile(Path("a/b").c_str(), "x", 1), -3000);
  EXPECT_TRUE(fs::is_directory(Path("a/b")));
}

TEST_F(WriteWholeFileTest, ReplacesAReadOnlyFile) {
  const std::string path = Path("ro.txt");
  auto replace = [path] {
    if (WriteWholeFile(path.c_str(), "old contents", 12) != 0) return false;
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    return WriteWholeFile(path.c_str(), "new", 3) == 0 && test::ReadFileText(path) == "new";
  };
#ifdef _WIN32
  EXPECT_TRUE(replace());
#else
  // Root writes a read-only file anyway: the check runs as another user.
  fs::create_directories(root_);
  fs::permissions(root_, fs::perms::all);
  EXPECT_TRUE(test::AsUnprivilegedUser(replace));
#endif
}

TEST_F(WriteWholeFileTest, DirectoryChainStopsAtTheParent) {
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
