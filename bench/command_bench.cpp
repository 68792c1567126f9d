// A command through DistributeCommand against the bare JsonCpp work of the
// same command (one parse, one StyledWriter rendering of the reply), with a
// realistic TKConfiguration.ini, logging off and on; the first command of a
// new thread against a later one; two threads against one; and the same
// with 1,000 live threads that have each made a call.
#include <benchmark/benchmark.h>
#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module/entry_points.h"
#include "platform/file_system.h"
#include "settings/settings_store.h"

namespace {

const char* const kCommand = "{\"id\":\"1\",\"cmdId\":\"c1\",\"method\":\"TKVersion\"}";

std::string Folder() {
  const std::string path = zep::platform::ModuleFilePath();
  return path.substr(0, path.rfind(zep::platform::kPathSeparator) + 1);
}

int32_t Drop(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) { return text[0]; }

int32_t Command() { return zep::DistributeCommand(1, 0, 0, "/zep/x", kCommand, nullptr, 0, 1, &Drop, 0, "", 0, 0, 0); }

// Writes the settings and waits until the module trusts what it reads from
// them: it reads a freshly written file again at every look (once a
// millisecond) until the file's stamp has stood 50 ms since it first saw it.
// The figures are those of commands, not of that settling.
void Configure(int logLevel) {
  std::ofstream(Folder() + "TKConfiguration.ini", std::ios::binary | std::ios::trunc)
      << "[TK]\r\nLogLevel=" << logLevel
      << "\r\nTKVersion=16.2.6.1212\r\nServer=127.0.0.1\r\nPort_mn_0=qro\r\nPort_mp_0=18622\r\nPort_mn_1=zep\r\n"
         "Port_mp_1=18625\r\nPort=2\r\nSSLPort_mn_0=qro\r\nSSLPort_mp_0=18623\r\nSSLPort_mn_1=zep\r\n"
         "SSLPort_mp_1=18626\r\nSSLPort=2\r\n";
  zep::DoAction(0, nullptr, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  Command();  // sees the new stamp
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  Command();  // finds it settled
}

void CommandLoggingOff(benchmark::State& state) {
  if (state.thread_index() == 0) Configure(1);
  for (auto _ : state) benchmark::DoNotOptimize(Command());
  state.SetItemsProcessed(state.iterations());
}

// The settings file's time stamp an hour ahead of the clock (a clock set
// back, a copy from a machine whose clock runs ahead): its stamp settles on
// the module's own clock as any other, and the command costs what it does
// otherwise.
void CommandFileStampedAhead(benchmark::State& state) {
  Configure(1);
  std::filesystem::last_write_time(Folder() + "TKConfiguration.ini",
                                   std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  // Past the settling of the new stamp.
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
       std::chrono::steady_clock::now() < end;)
    Command();
  for (auto _ : state) benchmark::DoNotOptimize(Command());
  Configure(1);
}

// Every line of the command is written (LogLevel 14 read while running, not fixed).
void CommandLoggingOn(benchmark::State& state) {
  Configure(14);
  for (auto _ : state)
    benchmark::DoNotOptimize(zep::DistributeCommand(1, 0, 0, "/zep/x", kCommand, nullptr, 0, 1, &Drop, 0, "", 0, 0, 0));
  state.counters["lines"] = 8;
  Configure(1);
}

// The command on a thread started for it: its first call into the module,
// or (the anchor) its second. Only the command is timed, and each comes a
// little over a millisecond after the process's last call, so that both ask
// the system about the settings file (at most once a millisecond) alike.
void CommandOnNewThread(benchmark::State& state, bool first) {
  Configure(1);
  for (auto _ : state) {
    double seconds = 0;
    std::thread([&] {
      if (!first) Command();
      std::this_thread::sleep_for(std::chrono::microseconds(1100));
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(Command());
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }).join();
    state.SetIterationTime(seconds);
  }
}

void FirstCommandOnNewThread(benchmark::State& state) { CommandOnNewThread(state, true); }
void SecondCommandOnNewThread(benchmark::State& state) { CommandOnNewThread(state, false); }

// Threads that have each made one command and wait, alive, while the
// benchmarks of this group run.
struct LiveThreads {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::vector<std::thread> threads;

  void Start(int count) {
    Configure(1);
    release = false;
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this] {
        Command();
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [this] { return release; });
      });
    }
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      release = true;
    }
    released.notify_all();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
  }
};

LiveThreads liveThreads;

void StartLiveThreads(const benchmark::State&) { liveThreads.Start(1000); }
void StopLiveThreads(const benchmark::State&) { liveThreads.Stop(); }

void CommandAmongLiveThreads(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Command());
}

void FirstCommandAmongLiveThreads(benchmark::State& state) { CommandOnNewThread(state, true); }
void SecondCommandAmongLiveThreads(benchmark::State& state) { CommandOnNewThread(state, false); }

// The anchor: what JsonCpp alone does for this command.
void BareJsonCpp(benchmark::State& state) {
  for (auto _ : state) {
    Json::Value root;
    Json::Reader reader;
    reader.parse(kCommand, root, false);
    Json::Value reply(Json::objectValue);
    reply["id"] = root["id"];
    reply["method"] = root["method"];
    reply["result"].append("16.2.6.1212");
    reply["result"].append("Corvantis Service");
    Json::StyledWriter writer;
    benchmark::DoNotOptimize(writer.write(reply));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BareJsonCpp)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(CommandLoggingOff)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(CommandLoggingOn);
BENCHMARK(CommandFileStampedAhead);
BENCHMARK(FirstCommandOnNewThread)->UseManualTime()->Iterations(500);
BENCHMARK(SecondCommandOnNewThread)->UseManualTime()->Iterations(500);
BENCHMARK(CommandAmongLiveThreads)->Setup(StartLiveThreads)->Teardown(StopLiveThreads);
BENCHMARK(FirstCommandAmongLiveThreads)
    ->Setup(StartLiveThreads)
    ->Teardown(StopLiveThreads)
    ->UseManualTime()
    ->Iterations(500);
BENCHMARK(SecondCommandAmongLiveThreads)
    ->Setup(StartLiveThreads)
    ->Teardown(StopLiveThreads)
    ->UseManualTime()
    ->Iterations(500);

}  // namespace
