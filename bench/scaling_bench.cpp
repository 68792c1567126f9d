// Two threads' commands against each thread's alone, beside the same for
// the bare JsonCpp work: what the module's shared state costs when calls
// run at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

#include "command_work.h"

namespace {

using bench::BareWork;
using bench::Command;
using bench::Configure;

// Keeps the calling thread on one processor; left to the scheduler where that fails.
void PinToProcessor(int processor) {
#ifdef _WIN32
  SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << processor);
#else
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(processor, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
#endif
}

// Two threads, each on a core of its own, against each of them alone: the
// throughput of both together over the sum of each one's alone, for commands
// and for the bare work. The phases (one thread, the other, both) and the
// two works alternate every few milliseconds within one run, so that a
// change in the machine's load falls on all of them alike rather than on
// whichever was measured at the time.
class Scaling {
 public:
  Scaling() {
    for (int i = 0; i < 2; ++i) workers_[i] = std::thread([this, i] { Work(i); });
  }
  ~Scaling() {
    Run(kQuit, std::chrono::microseconds(0));
    for (std::thread& worker : workers_) worker.join();
  }
  Scaling(const Scaling&) = delete;
  Scaling& operator=(const Scaling&) = delete;

  // Adds one round of each phase for the work, `slice` long each.
  void Round(int work, std::chrono::microseconds slice) {
    for (int phase : {kFirst, kSecond, kBoth}) Run(phase | work << 2, slice);
  }

  // Two threads' throughput over the sum of one thread's alone on each core.
  double Efficiency(int work) const {
    const auto rate = [this, work](int phase, int worker) {
      const Tally& tally = tallies_[work][phase][worker];
      return tally.seconds > 0 ? static_cast<double>(tally.operations) / tally.seconds : 0;
    };
    const double alone = rate(kFirst, 0) + rate(kSecond, 1);
    return alone > 0 ? (rate(kBoth, 0) + rate(kBoth, 1)) / alone : 0;
  }

  static constexpr int kBare = 0, kCommand = 1;

 private:
  static constexpr int kFirst = 0, kSecond = 1, kBoth = 2, kQuit = 3;
  struct Tally {
    uint64_t operations = 0;
    double seconds = 0;
  };

  static bool Takes(int phase, int worker) { return phase == kBoth || phase == worker; }

  void Run(int task, std::chrono::microseconds slice) {
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = task;
    stop_.store(false);
    busy_ = 2;
    ++generation_;
    changed_.notify_all();
    lock.unlock();
    std::this_thread::sleep_for(slice);
    stop_.store(true);
    lock.lock();
    changed_.wait(lock, [this] { return busy_ == 0; });
  }

  void Work(int self) {
    PinToProcessor(self);
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      const int task = task_;
      const int phase = task & 3, work = task >> 2;
      if (phase != kQuit && Takes(phase, self)) {
        lock.unlock();
        uint64_t operations = 0;
        const auto start = std::chrono::steady_clock::now();
        while (!stop_.load(std::memory_order_relaxed)) {
          benchmark::DoNotOptimize(work == kCommand ? static_cast<size_t>(Command()) : BareWork());
          ++operations;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        lock.lock();
        tallies_[work][phase][self].operations += operations;
        tallies_[work][phase][self].seconds += seconds;
      }
      if (--busy_ == 0) changed_.notify_all();
      if (phase == kQuit) return;
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t generation_ = 0;
  int task_ = 0;
  int busy_ = 0;
  alignas(64) std::atomic<bool> stop_{false};
  alignas(64) Tally tallies_[2][3][2];
  std::thread workers_[2];
};

void TwoThreadScaling(benchmark::State& state) {
  Configure(1);
  Scaling scaling;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 100; ++round) {
      // Each work first as often as second.
      scaling.Round(round % 2 == 0 ? Scaling::kBare : Scaling::kCommand, std::chrono::milliseconds(4));
      scaling.Round(round % 2 == 0 ? Scaling::kCommand : Scaling::kBare, std::chrono::milliseconds(4));
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  const double command = scaling.Efficiency(Scaling::kCommand), bare = scaling.Efficiency(Scaling::kBare);
  state.counters["command_efficiency"] = command;
  state.counters["bare_efficiency"] = bare;
  state.counters["of_bare"] = bare > 0 ? command / bare : 0;
}

BENCHMARK(TwoThreadScaling)->UseManualTime()->Iterations(1);

}  // namespace
