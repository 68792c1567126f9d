// A command through DistributeCommand against the bare JsonCpp work of the
// same command (one parse, one StyledWriter rendering of the reply), with a
// realistic TKConfiguration.ini, logging off and on; the first command of a
// new thread against a later one; and the same with 1,000 live threads that
// have each made a call. Two threads at once: scaling_bench.cpp.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "command_work.h"
#include "paired.h"

namespace {

using bench::BareWork;
using bench::Command;
using bench::Configure;

void CommandLoggingOff(benchmark::State& state) {
  Configure(1);
  for (auto _ : state) benchmark::DoNotOptimize(Command());
  state.SetItemsProcessed(state.iterations());
}

// The settings file's time stamp an hour ahead of the clock (a clock set
// back, a copy from a machine whose clock runs ahead): its stamp settles on
// the module's own clock as any other, and the command costs what it does
// otherwise.
void CommandFileStampedAhead(benchmark::State& state) {
  Configure(1);
  std::filesystem::last_write_time(bench::SettingsFile(),
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
  for (auto _ : state) benchmark::DoNotOptimize(Command());
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

void BareJsonCpp(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(BareWork());
  state.SetItemsProcessed(state.iterations());
}

// The command against the bare work, in alternating slices (paired.h).
void CommandAgainstBare(benchmark::State& state) {
  Configure(1);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    bench::ReportPaired(state, bench::MeasurePaired([] { benchmark::DoNotOptimize(Command()); },
                                                    [] { benchmark::DoNotOptimize(BareWork()); }));
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

BENCHMARK(BareJsonCpp);
BENCHMARK(CommandAgainstBare)->UseManualTime()->Iterations(1);
BENCHMARK(CommandLoggingOff);
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
