#!/usr/bin/env bash
# Builds the module and zephost natively and starts zephost; it prints the
# console page's address. Ctrl+C stops it.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
"$here/scripts/setup.sh" native
# A folder that scripts/test.sh configured keeps its tests; a new one has none,
# so that neither GoogleTest nor the rest of the test tools are needed.
tests=()
[ -f build/native/CMakeCache.txt ] || tests=(-DZEP_BUILD_TESTS=OFF)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_HOST=ON "${tests[@]}" >/dev/null
cmake --build build/native -j "$(nproc)" --target zephost zep
exec build/native/zephost "$@"
