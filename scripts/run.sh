#!/usr/bin/env bash
# Builds the module and zephost natively and starts zephost; it prints the
# console page's address. Ctrl+C stops it.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
"$here/scripts/setup.sh"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_HOST=ON >/dev/null
cmake --build build/native -j "$(nproc)" --target zephost zep
exec build/native/zephost "$@"
