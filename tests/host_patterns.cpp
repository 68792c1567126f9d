// A host that loads the library and does with it one of the ordinary things
// hosts do, which a guest in the host's process must survive: calls from an
// atexit handler (as from a global destructor, after the library's own) or
// from a thread's exit (its thread-specific data or thread-locals), threads
// still inside commands while main returns, unloading the library after other
// threads used it, a host thread blocked in a wait, many live threads,
// stopping the module or forking while other threads are inside its calls.
//
//   host_patterns <pattern> <library> <working folder>
//
// Exits 0 when the host saw what it expected; prints what it did not see and
// exits 3. A crash or a hang is the library's.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "host_support/dynamic_library.h"
#include "zep_exports.h"

namespace {

using namespace std::chrono_literals;

#define ZEP_EXPORTS(X) X(DoAction) X(DistributeCommand) X(GetWaitTimeout) X(GetImage) X(SetImage) X(Reserved)
#define ZEP_FIELD(name) decltype(&::name) name = nullptr;
struct Library {
  ZEP_EXPORTS(ZEP_FIELD)
  zep::host::DynamicLibrary* native = nullptr;  // never destroyed at exit: the exit patterns still call
};

Library library;
std::string pattern, libraryPath, moduleFolder;
std::atomic<int> replies{0}, sent{0};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", pattern.c_str(), what);
  std::fflush(stderr);
  std::_Exit(3);
}

void Load() {
  library.native = new zep::host::DynamicLibrary(libraryPath);
  if (!library.native->Loaded()) Fail("the library does not load");
#define ZEP_BIND(name)                                                                    \
  library.name = reinterpret_cast<decltype(library.name)>(library.native->Symbol(#name)); \
  if (library.name == nullptr) Fail("an export is missing");
  ZEP_EXPORTS(ZEP_BIND)
}

void Unload() {
  delete library.native;
  library = Library{};
}

void Configure(int logLevel) {
  std::ofstream(moduleFolder + "TKConfiguration.ini", std::ios::binary | std::ios::trunc)
      << "[TK]\r\nLogLevel=" << logLevel << "\r\n";
}

int32_t CountReply(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  if (std::strstr(text, "\"TKVersion\"") != nullptr) replies.fetch_add(1);
  return 1;
}

void Command() {
  library.DistributeCommand(1, 0, 0, "/zep/x", "{\"id\":\"1\",\"cmdId\":\"c\",\"method\":\"TKVersion\"}", nullptr, 0, 1,
                            &CountReply, 0, "", 0, 0, 0);
}

// A command, then every other export.
void CallEverything() {
  unsigned char record[524] = {1};
  uint32_t size = 0;
  Command();
  sent.fetch_add(1);
  library.SetImage("/SetEncryptedImageMap?GUID=k", record, sizeof record);
  library.GetImage("/GetEncryptedImageMap?GUID=k", record, &size);
  library.Reserved("addFileToWhiteList", "C:\\a", 0);
  library.Reserved("fileInQROWhiteList", "C:\\a", 0);
  library.GetWaitTimeout();
}

void Stop() {
  if (!library.DoAction(3, nullptr, nullptr)) Fail("DoAction(3) refused");
}

// Starts the module with a level that is not fixed, then logs every level.
void Start() {
  Configure(6);
  if (!library.DoAction(0, nullptr, nullptr)) Fail("DoAction(0) refused");
  Configure(14);
  std::this_thread::sleep_for(5ms);
}

// Stops the module and uses it again, as a host that tidies up at exit does.
void StopAndCall() {
  const int before = replies.load();
  Command();
  Stop();
  Command();
  library.GetWaitTimeout();
  Stop();
  if (replies.load() != before + 2) Fail("a command at exit was not answered");
}

void AtExit() {
  if (pattern == "atexit") StopAndCall();
}

// The process's open descriptors (POSIX) or handles (Windows).
long OpenObjects() {
  long count = 0;
#ifdef _WIN32
  // Counted one by one: Wine's GetProcessHandleCount answers 0. Handle values
  // are multiples of 4, handed out from the lowest free one.
  for (uintptr_t value = 4; value < (1u << 18); value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
#else
  if (DIR* folder = opendir("/proc/self/fd")) {
    while (readdir(folder) != nullptr) ++count;
    closedir(folder);
  }
#endif
  return count;
}

// A gate that threads wait at until it opens. On Windows a manual-reset
// event: the C++ library's mutex and condition variable give each thread
// that waits on them a handle of its own, which the count must not see.
#ifdef _WIN32
struct Gate {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Gate() { CloseHandle(event); }
  void Wait() const { WaitForSingleObject(event, INFINITE); }
  void Open() { SetEvent(event); }
};
#else
struct Gate {
  std::atomic<bool> open{false};
  void Wait() const {
    while (!open.load()) std::this_thread::sleep_for(2ms);
  }
  void Open() { open = true; }
};
#endif

void Join(std::vector<std::thread>& threads) {
  for (std::thread& thread : threads) thread.join();
}

// The first call of each thread is made in its exit: from a destructor of
// thread-specific data (a fiber-local callback on Windows), or from a C++
// thread-local's destructor.
struct CallsAtDestruction {
  ~CallsAtDestruction() { Command(); }
};
thread_local CallsAtDestruction callsAtDestruction;

#ifdef _WIN32
void WINAPI CallAtThreadExit(void* value) {
  if (value != nullptr) Command();
}
#else
void CallAtThreadExit(void*) { Command(); }
#endif

void ThreadExit() {
  Command();
  const long before = OpenObjects();
#ifdef _WIN32
  const DWORD key = FlsAlloc(&CallAtThreadExit);
  const auto specific = [key] { FlsSetValue(key, reinterpret_cast<void*>(1)); };
#else
  pthread_key_t key;
  pthread_key_create(&key, &CallAtThreadExit);
  const auto specific = [key] { pthread_setspecific(key, reinterpret_cast<void*>(1)); };
#endif
  constexpr int kThreads = 50;
  for (int i = 0; i < kThreads; ++i) {
    if (i % 2 == 0)
      std::thread(specific).join();
    else
      std::thread([] { static_cast<void>(&callsAtDestruction); }).join();
  }
  if (replies.load() != kThreads + 1) Fail("a command from a thread's exit was not answered");
  if (OpenObjects() > before + 4) Fail("threads that ended left descriptors or handles behind");
  Stop();
}

// Threads stay inside commands while main returns.
void MainReturns() {
  for (int i = 0; i < 4; ++i)
    std::thread([] {
      for (;;) Command();
    }).detach();
  while (replies.load() < 40) std::this_thread::sleep_for(1ms);
}

// Threads that used the library are alive while it is unloaded, end after
// it, and the library is loaded and used again.
void Unloading() {
  Gate gate;
  std::atomic<int> called{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) Command();
      called.fetch_add(1);
      gate.Wait();
    });
  while (called.load() < 4) std::this_thread::sleep_for(1ms);
  Stop();
  Unload();
  gate.Open();
  Join(threads);
  Load();
  replies = 0;
  Start();
  Command();
  Stop();
  if (replies.load() != 1) Fail("the library loaded again does not answer");
  Unload();
}

// A host thread that once called the module waits; files of the module
// folder change meanwhile, and the module is used. The wait must run its time.
void BlockedWait() {
  std::atomic<bool> waiting{false}, interrupted{false};
  std::thread thread([&] {
    Command();
#ifdef _WIN32
    waiting = true;
    if (SleepEx(400, TRUE) != 0) interrupted = true;
#else
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    waiting = true;
    if (epoll_wait(poller, &event, 1, 400) != 0) interrupted = true;
    close(poller);
#endif
  });
  while (!waiting.load()) std::this_thread::sleep_for(1ms);
  for (int i = 0; i < 20; ++i) {
    Configure(i % 2 == 0 ? 6 : 14);
    std::ofstream(moduleFolder + "other.ini", std::ios::binary | std::ios::trunc) << i;
    Command();
    std::this_thread::sleep_for(5ms);
  }
  thread.join();
  if (interrupted.load()) Fail("the host thread's wait was cut short");
  Stop();
}

// Many live threads, each of which made one call: nothing is kept per thread.
void ManyThreads() {
  Command();
  constexpr int kThreads = 300;
  Gate start, end;
  std::atomic<int> ready{0}, called{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      ready.fetch_add(1);
      start.Wait();
      Command();
      called.fetch_add(1);
      end.Wait();
    });
  while (ready.load() < kThreads) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);
  const long before = OpenObjects();
  start.Open();
  while (called.load() < kThreads) std::this_thread::sleep_for(1ms);
  const long after = OpenObjects();
  end.Open();
  Join(threads);
  if (after > before + 16) {
    std::fprintf(stderr, "%ld open objects before the threads called, %ld after\n", before, after);
    Fail("the module keeps a descriptor or handle per thread");
  }
  Stop();
}

// Four threads inside every export until the returned function is called.
std::function<void()> Busy() {
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto threads = std::make_shared<std::vector<std::thread>>();
  for (int i = 0; i < 4; ++i)
    threads->emplace_back([running] {
      while (running->load()) CallEverything();
    });
  return [running, threads] {
    *running = false;
    Join(*threads);
  };
}

// The module stopped again and again, as a host that cannot know whether a
// call still runs may do. Every command is answered.
void StopUnderCalls() {
  const std::function<void()> done = Busy();
  for (int stop = 0; stop < 200; ++stop) {
    Stop();
    std::this_thread::sleep_for(500us);
  }
  done();
  if (replies.load() != sent.load()) Fail("a command was not answered");
  Stop();
}

#ifndef _WIN32
// Children forked under calls, logging on: each uses the module at once, and
// neither hangs nor crashes.
void ForkUnderCalls() {
  const std::function<void()> done = Busy();
  while (replies.load() < 20) std::this_thread::sleep_for(1ms);
  for (int fork = 0; fork < 200; ++fork) {
    const pid_t child = ::fork();
    if (child == 0) {
      replies = 0;
      CallEverything();
      _exit(replies.load() == 1 ? 0 : 4);
    }
    int status = 0, waited = 0;
    while (waitpid(child, &status, WNOHANG) == 0 && waited++ < 5000) usleep(1000);
    if (waited > 5000) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      Fail("a child forked under calls hung");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("a child forked under calls failed");
  }
  done();
  Stop();
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: host_patterns <pattern> <library> <working folder>\n");
    return 2;
  }
  // Registered before the library loads: it runs after the library's own
  // destructors, as a host's handler does.
  std::atexit(&AtExit);
  pattern = argv[1];
  libraryPath = argv[2];
  moduleFolder = libraryPath.substr(0, libraryPath.find_last_of("/\\") + 1);
  // Each pattern runs on a started module; atexit does its part at exit.
  const std::map<std::string, void (*)()> patterns = {
      {"atexit", &Command},
      {"thread-exit", &ThreadExit},
      {"main-returns", &MainReturns},
      {"unload", &Unloading},
      {"blocked-wait", &BlockedWait},
      {"many-threads", &ManyThreads},
      {"stop-under-calls", &StopUnderCalls},
#ifndef _WIN32
      {"fork-under-calls", &ForkUnderCalls},
#endif
  };
  const auto run = patterns.find(pattern);
  if (run == patterns.end()) Fail("no such pattern");
#ifdef _WIN32
  if (!SetCurrentDirectoryA(argv[3])) Fail("no working folder");
#else
  if (chdir(argv[3]) != 0) Fail("no working folder");
#endif
  Load();
  Start();
  run->second();
  return 0;
}
