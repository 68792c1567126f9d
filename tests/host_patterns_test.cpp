// Runs the host patterns of host_patterns.cpp, each in a process of its own
// with a fresh copy of the library and an empty working folder, which the
// library must leave empty.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

// Runs the pattern in a process of its own; its exit code, -1 for a crash, or
// kHung (the process is ended) when it has not ended within 60 s.
int RunPattern(const std::string& pattern, int run) {
  const fs::path base = fs::path(test::ModuleDirectory()) / (pattern + "-" + std::to_string(run));
  const fs::path library(ZEP_LIBRARY_PATH);
  fs::remove_all(base);
  fs::create_directories(base / "module");
  fs::create_directories(base / "cwd");
  fs::copy_file(library, base / "module" / library.filename());
  const std::string program = ZEP_HOST_PATTERNS, module = (base / "module" / library.filename()).string(),
                    cwd = (base / "cwd").string();
  int code = kHung;
#ifdef _WIN32
  std::string line = "\"" + program + "\" \"" + pattern + "\" \"" + module + "\" \"" + cwd + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return -1;
  CloseHandle(info.hThread);
  DWORD exitCode = 0;
  if (WaitForSingleObject(info.hProcess, 60000) != WAIT_OBJECT_0)
    TerminateProcess(info.hProcess, 1);
  else if (GetExitCodeProcess(info.hProcess, &exitCode))
    code = static_cast<int>(exitCode);
  CloseHandle(info.hProcess);
#else
  const pid_t pid = fork();
  if (pid == 0) {
    execl(program.c_str(), program.c_str(), pattern.c_str(), module.c_str(), cwd.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  for (int waited = 0; waited < 6000 && code == kHung; ++waited) {
    if (waitpid(pid, &status, WNOHANG) == pid) code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  if (code == kHung) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
#endif
  EXPECT_NE(kHung, code) << pattern << " did not end within 60 s";
  EXPECT_TRUE(fs::is_empty(base / "cwd")) << pattern << " wrote into the host's working folder";
  return code;
}

// main-returns runs several times: some runs of a library that tears its
// objects down crash, or write log lines to files of garbage names. Under
// Wine three runs: about one exit in a hundred of a process whose threads
// contend for locks hangs in Wine itself (see docs/wine.md).
TEST(HostPatterns, TheHostSeesWhatItExpects) {
#ifdef _WIN32
  constexpr int kMainReturnsRuns = 3;
#else
  constexpr int kMainReturnsRuns = 10;
#endif
  for (const char* pattern : {
         "atexit", "thread-exit", "unload", "blocked-wait", "many-threads", "stop-under-calls",
#if !defined(_WIN32) && !defined(ZEP_UNDER_ASAN)
             // (not under AddressSanitizer, whose own allocator lock is held across a fork)
             "fork-under-calls",
#endif
             "main-returns"
       }) {
    const int runs = std::string(pattern) == "main-returns" ? kMainReturnsRuns : 1;
    for (int run = 0; run < runs; ++run) EXPECT_EQ(0, RunPattern(pattern, run)) << pattern << " run " << run;
  }
}

}  // namespace
}  // namespace zep
