#!/usr/bin/env bash
# Builds both targets and runs every test: native (plain and under
# ThreadSanitizer, plus ASan/UBSan), and the Windows DLL under Wine.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
"$here/scripts/setup.sh"

jobs=$(nproc)
summary=()
run_suite() {
  local name="$1" dir="$2"
  shift 2
  echo "== $name"
  if (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@"); then
    summary+=("$name: passed")
  else
    summary+=("$name: FAILED")
    failed=1
  fi
}
failed=0

cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_TESTS=ON -DZEP_BUILD_BENCH=ON -DZEP_BUILD_HOST=ON >/dev/null
cmake --build build/native -j "$jobs"
run_suite native build/native

echo "== browser end to end"
(cd tests/e2e && npm ci --no-audit --no-fund --silent)
if (cd tests/e2e && timeout 600 node --test console_test.mjs per_user_test.mjs host_conventions_test.mjs host_messages_test.mjs \
     host_load_test.mjs host_limits_test.mjs); then
  summary+=("browser end to end: passed")
else
  summary+=("browser end to end: FAILED")
  failed=1
fi

cmake -S . -B build/native-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_TESTS=ON -DZEP_SANITIZE=thread >/dev/null
cmake --build build/native-tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_suite native-tsan build/native-tsan

cmake -S . -B build/native-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_TESTS=ON -DZEP_SANITIZE=address,undefined >/dev/null
cmake --build build/native-asan -j "$jobs"
UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" run_suite native-asan build/native-asan

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZEP_BUILD_TESTS=OFF -DZEP_BUILD_FUZZ=ON -DZEP_SANITIZE=address,undefined >/dev/null
cmake --build build/fuzz -j "$jobs" --target distribute_fuzzer image_map_fuzzer white_list_fuzzer
for fuzzer in distribute image_map white_list; do
  echo "== fuzz $fuzzer"
  corpus="build/fuzz/corpus/$fuzzer"
  mkdir -p "$corpus"
  if UBSAN_OPTIONS="halt_on_error=1" "build/fuzz/tests/fuzz/${fuzzer}_fuzzer" -max_total_time="${ZEP_FUZZ_SECONDS:-30}" \
       -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" "tests/fuzz/corpus/$fuzzer" 2>build/fuzz/$fuzzer.log; then
    summary+=("fuzz $fuzzer: passed")
  else
    tail -40 "build/fuzz/$fuzzer.log"
    summary+=("fuzz $fuzzer: FAILED")
    failed=1
  fi
done

cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release -DZEP_BUILD_TESTS=ON -DZEP_BUILD_HOST=ON >/dev/null
cmake --build build/windows -j "$jobs"
export ZEP_WINEPREFIX="$here/build/windows/wineprefix"
WINEPREFIX="$ZEP_WINEPREFIX" WINEDEBUG=-all /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
# One test at a time: each ends its prefix's server (cmake/wine-run.sh).
run_suite windows-wine build/windows -j 1
# The POSIX profile functions against the real ones, run by the Windows build under Wine.
export ZEP_PROFILE_SCRIPT_EXE="$here/build/windows/tests/profile_script.exe"
run_suite "profile semantics (POSIX against Windows)" build/native -R profile_semantics_test
echo "== browser end to end (zephost.exe and zep.dll under Wine)"
if (cd tests/e2e && ZEP_E2E_WINE=1 timeout 600 node --test console_test.mjs host_messages_test.mjs host_load_test.mjs \
     host_limits_test.mjs); then
  summary+=("browser end to end under Wine: passed")
else
  summary+=("browser end to end under Wine: FAILED")
  failed=1
fi
WINEPREFIX="$ZEP_WINEPREFIX" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true

printf '%s\n' "${summary[@]}"
passed_count=$(printf '%s\n' "${summary[@]}" | grep -c ': passed$' || true)
failed_count=$(printf '%s\n' "${summary[@]}" | grep -c ': FAILED$' || true)
echo "suites: $passed_count passed, $failed_count failed"
exit "$failed"
