#include "settings/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "settings/utf8_to_wide.h"
#include "test_support.h"

namespace zep {
namespace {

std::u16string Wide(const std::string& bytes) {
  std::u16string out;
  Utf8ToWide(bytes.data(), bytes.size(), out);
  return out;
}

TEST(Utf8ToWide, ConvertsValidText) {
  EXPECT_EQ(u"C:\\Daten\\\u00e4\u20ac", Wide("C:\\Daten\\\xC3\xA4\xE2\x82\xAC"));
  EXPECT_EQ(std::u16string(u"\U0001F600"), Wide("\xF0\x9F\x98\x80"));
  EXPECT_EQ(u"", Wide(""));
  std::u16string appended = u"x";
  Utf8ToWide("y", 1, appended);
  EXPECT_EQ(u"xy", appended);
}

TEST(Utf8ToWide, LenientDecoderTakesOverlongForms) {
  EXPECT_EQ(u"C:/x", Wide("\x43\x3A\xC0\xAF\x78"));
  EXPECT_EQ(u"a/", Wide("a\xE0\x80\xAF"));
}

TEST(Utf8ToWide, InputBothDecodersRejectAppendsNothing) {
  std::u16string out = u"kept";
  const std::string stray = "\x43\x3A\x80";
  Utf8ToWide(stray.data(), stray.size(), out);
  EXPECT_EQ(u"kept", out);
  EXPECT_EQ(u"", Wide("\xC0"));              // missing continuation
  EXPECT_EQ(u"", Wide("\xED\xA0\x80"));      // surrogate value
  EXPECT_EQ(u"", Wide("\xF8\x88\x80\x80"));  // lead byte of 0xF8
  EXPECT_EQ(u"", Wide("\xF4\x90\x80\x80"));  // above 0x10FFFF
}

class WriteWholeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = test::ModuleDirectory() + "write_test";
    std::filesystem::remove_all(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::permissions(root_ + test::Separator() + "ro.txt", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  std::string Path(const std::string& relative) {
    std::string path = root_ + test::Separator() + relative;
    for (char& c : path)
      if (c == '/') c = test::Separator()[0];
    return path;
  }
  std::string root_;
};

TEST_F(WriteWholeFileTest, CreatesTheDirectoriesOnTheWay) {
  const std::string path = Path("a/b/c.txt");
  EXPECT_EQ(0, WriteWholeFile(path.c_str(), "hello", 5));
  EXPECT_EQ("hello", test::ReadFileText(path));
}

TEST_F(WriteWholeFileTest, ReplacesAReadOnlyFile) {
  const std::string path = Path("ro.txt");
  auto replace = [path] {
    if (WriteWholeFile(path.c_str(), "old contents", 12) != 0) return false;
    std::filesystem::permissions(path,
                                 std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    return WriteWholeFile(path.c_str(), "new", 3) == 0 && test::ReadFileText(path) == "new";
  };
#ifdef _WIN32
  EXPECT_TRUE(replace());
#else
  // Root writes a read-only file anyway: the check runs as another user.
  std::filesystem::create_directories(root_);
  std::filesystem::permissions(root_, std::filesystem::perms::all);
  EXPECT_TRUE(test::AsUnprivilegedUser(replace));
#endif
}

TEST_F(WriteWholeFileTest, ReportsFailures) {
  EXPECT_EQ(22, WriteWholeFile(nullptr, "x", 1));
  const std::string directory = Path("folder");
  std::filesystem::create_directories(directory);
  // A directory cannot be opened as a file: a negative code, never 0.
  const int result = WriteWholeFile(directory.c_str(), "x", 1);
  EXPECT_LE(result, -3000);
  EXPECT_TRUE(std::filesystem::is_directory(directory));
}

TEST_F(WriteWholeFileTest, DirectoryChainStopsAtTheParent) {
  const std::string path = Path("d/e/f.txt");
  std::u16string wide;
  Utf8ToWide(path.data(), path.size(), wide);
  EXPECT_TRUE(CreateDirectoryChain(wide));
  EXPECT_TRUE(std::filesystem::is_directory(Path("d/e")));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(CreateDirectoryChain(u""));
  EXPECT_TRUE(CreateDirectoryChain(u"nothing-to-create"));
}

}  // namespace
}  // namespace zep
