#!/usr/bin/env bash
# Builds the benchmarks natively and for Windows, runs them (the Windows ones
# under Wine) and prints one table: each figure beside its anchor and goal.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
"$here/scripts/setup.sh"
jobs=$(nproc)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_BENCH=ON >/dev/null
cmake --build build/native -j "$jobs" --target command_bench scaling_bench lock_bench store_bench identification_bench >/dev/null
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DZEP_BUILD_BENCH=ON >/dev/null
cmake --build build/windows -j "$jobs" --target command_bench scaling_bench lock_bench store_bench identification_bench >/dev/null

out="$here/build/bench"
mkdir -p "$out"
rm -f "$out"/*.json
export WINEPREFIX="$here/build/windows/wineprefix" WINEDEBUG=-all
# Native first, with no Wine process left running beside it; then Wine. Each
# program runs on one core: a figure and its anchor are then measured on the
# same core (the cores of a virtual machine may run at different speeds).
pin="taskset -c 0"
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
single='^[^/]+(/iterations:[0-9]+)?(/(real|manual)_time)?(/threads:1)?$'
# Five rounds of every benchmark, in a random order that alternates figures
# and anchors within the one process; the table takes each one's best round,
# so that a figure and its anchor are not taken at different speeds of a
# machine that others share.
rounds="--benchmark_repetitions=5 --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2"
for bench in command_bench lock_bench store_bench identification_bench; do
  (cd build/native/bench && $pin "./$bench" $rounds --benchmark_format=json --benchmark_filter="$single" \
     >"$out/native-$bench.json" 2>/dev/null)
done
# Two threads on both cores against each alone, taken within one run in
# alternating slices (scaling_bench.cpp); three runs, the table takes their median.
scale() {
  local target="$1" dir="$2"
  shift 2
  (cd "$dir" && taskset -c 0,1 "$@" --benchmark_repetitions=3 --benchmark_format=json \
     >"$out/$target-scaling.json" 2>/dev/null)
}
scale native build/native/bench ./scaling_bench
for bench in command_bench lock_bench store_bench identification_bench; do
  (cd build/windows/bench && $pin /usr/lib/wine/wine64 "./$bench.exe" $rounds --benchmark_format=json \
     --benchmark_filter="$single" >"$out/wine-$bench.json" 2>/dev/null)
done
scale wine build/windows/bench /usr/lib/wine/wine64 ./scaling_bench.exe
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
node "$here/scripts/bench_table.mjs" "$out" "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
