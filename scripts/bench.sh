#!/usr/bin/env bash
# Builds the benchmarks natively and for Windows, runs them (the Windows ones
# under Wine) and prints one table: each figure beside its anchor and goal.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
"$here/scripts/setup.sh"
jobs=$(nproc)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_BENCH=ON >/dev/null
cmake --build build/native -j "$jobs" --target command_bench lock_bench store_bench >/dev/null
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DZEP_BUILD_BENCH=ON >/dev/null
cmake --build build/windows -j "$jobs" --target command_bench lock_bench store_bench >/dev/null

out="$here/build/bench"
mkdir -p "$out"
export WINEPREFIX="$here/build/windows/wineprefix" WINEDEBUG=-all
# Native first, with no Wine process left running beside it; then Wine. Each
# program runs on one core: a figure and its anchor are then measured on the
# same core (the cores of a virtual machine may run at different speeds).
pin="taskset -c 0"
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
# Two threads against one are measured on two cores, apart from the rest.
single='^[^/]+(/iterations:[0-9]+)?(/(real|manual)_time)?(/threads:1)?$'
scaling='real_time/threads:'
for bench in command_bench lock_bench store_bench; do
  (cd build/native/bench && $pin "./$bench" --benchmark_min_time=0.5 --benchmark_format=json --benchmark_filter="$single" \
     >"$out/native-$bench.json" 2>/dev/null)
done
(cd build/native/bench && taskset -c 0,1 ./command_bench --benchmark_min_time=0.5 --benchmark_format=json \
   --benchmark_filter="$scaling" >"$out/native-command_bench-scaling.json" 2>/dev/null)
for bench in command_bench lock_bench store_bench; do
  (cd build/windows/bench && $pin /usr/lib/wine/wine64 "./$bench.exe" --benchmark_min_time=0.5 --benchmark_format=json \
     --benchmark_filter="$single" >"$out/wine-$bench.json" 2>/dev/null)
done
(cd build/windows/bench && taskset -c 0,1 /usr/lib/wine/wine64 ./command_bench.exe --benchmark_min_time=0.5 \
   --benchmark_format=json --benchmark_filter="$scaling" >"$out/wine-command_bench-scaling.json" 2>/dev/null)
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
node "$here/scripts/bench_table.mjs" "$out" "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
