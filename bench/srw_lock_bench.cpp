// SRWLOCK, the anchor of ReentrantRwLock on Windows.
#include <benchmark/benchmark.h>
#include <windows.h>

namespace {

SRWLOCK srwLock = SRWLOCK_INIT;
int guarded = 0;

void SrwShared(benchmark::State& state) {
  for (auto _ : state) {
    AcquireSRWLockShared(&srwLock);
    benchmark::DoNotOptimize(guarded);
    ReleaseSRWLockShared(&srwLock);
  }
}

void SrwExclusive(benchmark::State& state) {
  for (auto _ : state) {
    AcquireSRWLockExclusive(&srwLock);
    ++guarded;
    ReleaseSRWLockExclusive(&srwLock);
  }
}

BENCHMARK(SrwShared)->Threads(1);
BENCHMARK(SrwExclusive)->Threads(1);

}  // namespace
