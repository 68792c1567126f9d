// Runs the host patterns of host_patterns.cpp, each in a process of its own
// with a fresh copy of the library and an empty working folder, which the
// library must leave empty.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "test_support.h"

namespace zep {
namespace {

namespace fs = std::filesystem;

// The pattern's exit code; -1 when it did not exit (a crash).
int RunPattern(const std::string& pattern, int run) {
  const fs::path base = fs::path(test::ModuleDirectory()) / (pattern + "-" + std::to_string(run));
  fs::remove_all(base);
  fs::create_directories(base / "module");
  fs::create_directories(base / "cwd");
  const fs::path library(ZEP_LIBRARY_PATH);
  fs::copy_file(library, base / "module" / library.filename());
  std::string command = std::string(ZEP_HOST_PATTERNS) + " " + pattern + " " +
                        (base / "module" / library.filename()).string() + " " + (base / "cwd").string();
#ifdef _WIN32
  // For cmd, which takes a slash for the start of a switch.
  for (char& c : command)
    if (c == '/') c = '\\';
#endif
  const int status = std::system(command.c_str());
  EXPECT_TRUE(fs::is_empty(base / "cwd")) << pattern << " wrote into the host's working folder";
#ifdef _WIN32
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

class HostPattern : public ::testing::TestWithParam<const char*> {};

TEST_P(HostPattern, TheHostSeesWhatItExpects) { EXPECT_EQ(0, RunPattern(GetParam(), 0)); }

INSTANTIATE_TEST_SUITE_P(Patterns, HostPattern,
                         ::testing::Values("atexit", "global-destructor", "thread-exit", "unload", "blocked-wait",
                                           "many-threads"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// Threads inside commands while main returns: some runs of a library that
// tears its objects down crash, or write log lines to files of garbage names.
TEST(HostPatterns, MainReturnsWhileThreadsAreInsideCommands) {
  for (int run = 0; run < 10; ++run) EXPECT_EQ(0, RunPattern("main-returns", run)) << "run " << run;
}

}  // namespace
}  // namespace zep
