// A figure against its anchor, taken in alternating slices of a few
// milliseconds within one run: a change in the machine's load (other jobs on
// the same cores) then falls on both alike, where figures taken a second
// apart may differ by a third on a shared machine.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

namespace bench {

struct PairedTimes {
  double figureNanoseconds = 0;
  double anchorNanoseconds = 0;
};

namespace paired_detail {

struct Tally {
  uint64_t operations = 0;
  std::chrono::steady_clock::duration spent{};
};

// Runs the operation for one slice, reading the clock once per batch so
// that the reads cost the figure and the anchor little and alike.
template <class Operation>
void Slice(Operation& operation, std::chrono::steady_clock::duration length, Tally& tally) {
  const auto start = std::chrono::steady_clock::now();
  auto now = start;
  do {
    for (int i = 0; i < 32; ++i) operation();
    tally.operations += 32;
    now = std::chrono::steady_clock::now();
  } while (now - start < length);
  tally.spent += now - start;
}

inline double Nanoseconds(const Tally& tally) {
  return std::chrono::duration<double, std::nano>(tally.spent).count() / static_cast<double>(tally.operations);
}

}  // namespace paired_detail

// Time per operation of each, over rounds of one slice of each, the one that
// goes first alternating.
template <class Figure, class Anchor>
PairedTimes MeasurePaired(Figure figure, Anchor anchor, int rounds = 200,
                          std::chrono::steady_clock::duration slice = std::chrono::milliseconds(2)) {
  paired_detail::Tally figureTally, anchorTally;
  for (int round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      paired_detail::Slice(figure, slice, figureTally);
      paired_detail::Slice(anchor, slice, anchorTally);
    } else {
      paired_detail::Slice(anchor, slice, anchorTally);
      paired_detail::Slice(figure, slice, figureTally);
    }
  }
  return {paired_detail::Nanoseconds(figureTally), paired_detail::Nanoseconds(anchorTally)};
}

// Reports the pair as the benchmark's counters, and their sum as its time.
inline void ReportPaired(benchmark::State& state, const PairedTimes& times) {
  state.counters["figure_ns"] = times.figureNanoseconds;
  state.counters["anchor_ns"] = times.anchorNanoseconds;
  state.counters["ratio"] = times.figureNanoseconds / times.anchorNanoseconds;
}

}  // namespace bench
