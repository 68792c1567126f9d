#!/usr/bin/env bash
# Builds both targets and runs every test: native (plain and under
# ThreadSanitizer, plus ASan/UBSan), the fuzzers, and the Windows DLL under
# Wine. "scripts/test.sh SUITE..." runs only the suites named (see --list).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

suites=(native browser native-tsan native-asan fuzz windows profile-semantics browser-wine)
if [ "${1:-}" = --list ] || [ "${1:-}" = --help ]; then
  echo "usage: scripts/test.sh [SUITE...]    suites, in the order they run: ${suites[*]}"
  exit 0
fi
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=("${suites[@]}")
for name in "${wanted[@]}"; do
  [[ " ${suites[*]} " == *" $name "* ]] || { echo "unknown suite: $name (scripts/test.sh --list)" >&2; exit 2; }
done
wants() { [[ " ${wanted[*]} " == *" $1 "* ]]; }

"$here/scripts/setup.sh"
jobs=$(nproc)
summary=()
failed=0
record() {  # record NAME STATUS
  if [ "$2" = 0 ]; then summary+=("$1: passed"); else summary+=("$1: FAILED"); failed=1; fi
}
run_ctest() {  # run_ctest NAME DIR [ctest arguments]
  local name="$1" dir="$2" status=0
  shift 2
  echo "== $name"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") || status=$?
  record "$name" "$status"
}
build() {  # build DIR [cmake arguments]
  local dir="$1"
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
# The browser tests: headless Chromium against zephost (ZEP_E2E_WINE=1: zephost.exe under Wine).
run_browser() {  # run_browser NAME [test files]; $wrap, if set, runs node
  local name="$1" status=0
  shift
  echo "== $name"
  # shellcheck disable=SC2086
  (cd tests/e2e && npm ci --no-audit --no-fund --silent && timeout 600 ${wrap:-} node --test "$@") || status=$?
  record "$name" "$status"
}
native_build() { build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_TESTS=ON -DZEP_BUILD_BENCH=ON -DZEP_BUILD_HOST=ON; }
windows_build() {
  build build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DZEP_BUILD_TESTS=ON -DZEP_BUILD_HOST=ON
  export ZEP_WINEPREFIX="$here/build/windows/wineprefix"
  WINEPREFIX="$ZEP_WINEPREFIX" WINEDEBUG=-all /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
}

if wants native || wants browser || wants profile-semantics; then native_build; fi
if wants native; then run_ctest native build/native; fi
if wants browser; then
  # The per-user copies start with no capability beyond those the systemd
  # unit keeps (its CapabilityBoundingSet), as they do under the service.
  unit_caps=$(sed -n 's/^CapabilityBoundingSet=//p' cmake/zephost.service.in | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
  wrap="setpriv --bounding-set -all,$unit_caps" run_browser "per-user copies under the unit's capabilities" \
    per_user_test.mjs
  run_browser "browser end to end" console_test.mjs host_conventions_test.mjs \
    host_messages_test.mjs host_limits_test.mjs
fi
if wants native-tsan; then
  build build/native-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_TESTS=ON -DZEP_SANITIZE=thread
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest native-tsan build/native-tsan
fi
if wants native-asan; then
  build build/native-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_TESTS=ON -DZEP_SANITIZE=address,undefined
  UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" run_ctest native-asan build/native-asan
fi
if wants fuzz; then
  build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DZEP_BUILD_TESTS=OFF -DZEP_BUILD_FUZZ=ON -DZEP_SANITIZE=address,undefined
  for fuzzer in distribute image_map white_list; do
    echo "== fuzz $fuzzer"
    corpus="build/fuzz/corpus/$fuzzer"
    mkdir -p "$corpus"
    status=0
    UBSAN_OPTIONS="halt_on_error=1" "build/fuzz/tests/fuzz/${fuzzer}_fuzzer" -max_total_time="${ZEP_FUZZ_SECONDS:-30}" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" "tests/fuzz/corpus/$fuzzer" \
      2>"build/fuzz/$fuzzer.log" || { status=$?; tail -40 "build/fuzz/$fuzzer.log"; }
    record "fuzz $fuzzer" "$status"
  done
fi
if wants windows || wants profile-semantics || wants browser-wine; then windows_build; fi
# One test at a time: each ends its prefix's server (cmake/wine-run.sh).
if wants windows; then run_ctest windows-wine build/windows -j 1; fi
if wants profile-semantics; then
  # The POSIX profile functions against the real ones, run by the Windows build under Wine.
  ZEP_PROFILE_SCRIPT_EXE="$here/build/windows/tests/profile_script.exe" \
    run_ctest "profile semantics (POSIX against Windows)" build/native -R profile_semantics_test
fi
if wants browser-wine; then
  ZEP_E2E_WINE=1 run_browser "browser end to end (zephost.exe and zep.dll under Wine)" console_test.mjs \
    host_messages_test.mjs host_limits_test.mjs
fi
[ -z "${ZEP_WINEPREFIX:-}" ] || WINEPREFIX="$ZEP_WINEPREFIX" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true

printf '%s\n' "${summary[@]}"
passed_count=$(printf '%s\n' "${summary[@]}" | grep -c ': passed$' || true)
failed_count=$(printf '%s\n' "${summary[@]}" | grep -c ': FAILED$' || true)
echo "suites: $passed_count passed, $failed_count failed"
exit "$failed"
