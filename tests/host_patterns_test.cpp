// Runs the host patterns of host_patterns.cpp, each in a process of its own
// with a fresh copy of the library and an empty working folder, which the
// library must leave empty.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "test_support.h"

namespace zep {
namespace {

namespace fs = std::filesystem;

constexpr int kHung = -2;

// Runs the command line; its exit code, -1 for a crash, or kHung (the
// process is ended) when it has not ended within 60 s.
int RunBounded(const std::string& program, const std::vector<std::string>& arguments) {
#ifdef _WIN32
  std::string line = "\"" + program + "\"";
  for (const std::string& argument : arguments) line += " \"" + argument + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return -1;
  CloseHandle(info.hThread);
  int code = kHung;
  if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0) {
    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    code = static_cast<int>(exitCode);
  } else {
    TerminateProcess(info.hProcess, 1);
  }
  CloseHandle(info.hProcess);
  return code;
#else
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  for (int waited = 0; waited < 6000; ++waited) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return kHung;
#endif
}

// The pattern's exit code; -1 when it did not exit (a crash), kHung when it
// did not end.
int RunPattern(const std::string& pattern, int run) {
  const fs::path base = fs::path(test::ModuleDirectory()) / (pattern + "-" + std::to_string(run));
  fs::remove_all(base);
  fs::create_directories(base / "module");
  fs::create_directories(base / "cwd");
  const fs::path library(ZEP_LIBRARY_PATH);
  fs::copy_file(library, base / "module" / library.filename());
  const int code = RunBounded(ZEP_HOST_PATTERNS,
                              {pattern, (base / "module" / library.filename()).string(), (base / "cwd").string()});
  EXPECT_NE(kHung, code) << pattern << " did not end within 60 s";
  EXPECT_TRUE(fs::is_empty(base / "cwd")) << pattern << " wrote into the host's working folder";
  return code;
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
// Under Wine three runs: about one exit in a hundred of a process whose
// threads contend for locks hangs in Wine itself (see the README).
TEST(HostPatterns, MainReturnsWhileThreadsAreInsideCommands) {
#ifdef _WIN32
  constexpr int kRuns = 3;
#else
  constexpr int kRuns = 10;
#endif
  for (int run = 0; run < kRuns; ++run) EXPECT_EQ(0, RunPattern("main-returns", run)) << "run " << run;
}

}  // namespace
}  // namespace zep
