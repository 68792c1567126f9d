// A host that never loads the module, for the exit of a process whose
// threads are busy (Windows only). Four threads do what a command with every
// log line on does to the system: heap blocks of a command's sizes, the
// settings file's attributes asked at most once a millisecond, the clock and
// the local time, and eight lines appended to one log file, each opened,
// written and closed under one critical section that the threads contend
// for. main returns once they have done 40 such rounds, with the threads
// still inside them, as the host pattern "main-returns" does with commands.
// Run many times, each bounded in time, beside that pattern: a run that does
// not end hangs in the system's exit, not in the module.
//
//   exit_without_module <folder>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// Heap blocks of the sizes that a command with logging off takes.
constexpr size_t kBlockSizes[] = {45, 64, 512, 64, 512, 48, 88, 88, 88, 40,  32, 40,
                                  48, 88, 88,  96, 31,  61, 64, 31, 20, 121, 99, 117};

std::string folder;
CRITICAL_SECTION logLock;
std::atomic<DWORD> lastLook{0};
std::atomic<int> rounds{0};

void AppendLine(const std::string& path, const std::string& line) {
  EnterCriticalSection(&logLock);
  HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
  }
  LeaveCriticalSection(&logLock);
}

void Round() {
  const std::string settings = folder + "\\TKConfiguration.ini", log = folder + "\\zep.log";
  std::vector<std::unique_ptr<char[]>> blocks;
  for (const size_t size : kBlockSizes) blocks.emplace_back(new char[size]);
  const DWORD now = GetTickCount();
  if (lastLook.exchange(now) != now) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(settings.c_str(), GetFileExInfoStandard, &data);
  }
  for (int line = 0; line < 8; ++line) {
    FILETIME time{};
    GetSystemTimeAsFileTime(&time);
    SYSTEMTIME local{};
    GetLocalTime(&local);
    char text[160];
    std::snprintf(text, sizeof text, "[Process:%6lu Thread:%6lu] [%02d:%02d:%02d.%03d] [Debug-0]: line %d\n",
                  GetCurrentProcessId(), GetCurrentThreadId(), local.wHour, local.wMinute, local.wSecond,
                  local.wMilliseconds, line);
    AppendLine(log, text);
  }
}

DWORD WINAPI Work(void*) {
  for (;;) {
    Round();
    rounds.fetch_add(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: exit_without_module <folder>\n");
    return 2;
  }
  folder = argv[1];
  InitializeCriticalSection(&logLock);
  if (FILE* settings = std::fopen((folder + "\\TKConfiguration.ini").c_str(), "wb")) {
    std::fputs("[TK]\r\nLogLevel=14\r\nTKVersion=16.2.6.1212\r\n", settings);
    std::fclose(settings);
  }
  for (int i = 0; i < 4; ++i) {
    HANDLE thread = CreateThread(nullptr, 256 << 10, &Work, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return 3;
    CloseHandle(thread);
  }
  while (rounds.load() < 40) Sleep(1);
  return 0;
}
