// ReentrantRwLock against std::shared_mutex, uncontended and with two threads.
#include <benchmark/benchmark.h>

#include <shared_mutex>

#include "common/reentrant_rw_lock.h"

namespace {

zep::ReentrantRwLock rwLock;
std::shared_mutex sharedMutex;
int guarded = 0;

void ReentrantShared(benchmark::State& state) {
  for (auto _ : state) {
    rwLock.LockShared();
    benchmark::DoNotOptimize(guarded);
    rwLock.UnlockShared();
  }
}

void ReentrantExclusive(benchmark::State& state) {
  for (auto _ : state) {
    rwLock.LockExclusive();
    ++guarded;
    rwLock.UnlockExclusive();
  }
}

void SharedMutexShared(benchmark::State& state) {
  for (auto _ : state) {
    sharedMutex.lock_shared();
    benchmark::DoNotOptimize(guarded);
    sharedMutex.unlock_shared();
  }
}

void SharedMutexExclusive(benchmark::State& state) {
  for (auto _ : state) {
    sharedMutex.lock();
    ++guarded;
    sharedMutex.unlock();
  }
}

BENCHMARK(ReentrantShared)->Threads(1)->Threads(2);
BENCHMARK(ReentrantExclusive)->Threads(1)->Threads(2);
BENCHMARK(SharedMutexShared)->Threads(1)->Threads(2);
BENCHMARK(SharedMutexExclusive)->Threads(1)->Threads(2);

}  // namespace
