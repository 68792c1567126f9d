#!/usr/bin/env bash
# Installs what the builds need on a fresh Debian machine and fetches the
# JsonCpp sources that the Windows build compiles. "setup.sh native" installs
# only what the native module and zephost need (scripts/run.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

if [ "${1:-}" = native ]; then
  for need in /usr/bin/cmake /usr/bin/ninja /usr/bin/g++ /usr/bin/pkg-config /usr/include/jsoncpp/json/json.h \
              /usr/include/utf8cpp/utf8.h /usr/include/boost/beast.hpp; do
    if [ ! -e "$need" ]; then
      export DEBIAN_FRONTEND=noninteractive
      apt-get update -qq
      apt-get install -y -qq --no-install-recommends \
        cmake ninja-build g++ pkg-config libjsoncpp-dev libutfcpp-dev libboost-dev >/dev/null
      break
    fi
  done
  exit 0
fi

need_install=0
for tool in cmake ninja x86_64-w64-mingw32-g++-posix /usr/lib/wine/wine64 dpkg-source node npm clang ld.lld \
            llvm-pdbutil pkg-config python3 systemd-analyze makensis; do
  command -v "$tool" >/dev/null 2>&1 || need_install=1
done
for header in /usr/include/jsoncpp/json/json.h /usr/include/utf8cpp/utf8.h \
              /usr/include/benchmark/benchmark.h \
              /usr/src/googletest/CMakeLists.txt /usr/include/boost/beast.hpp /usr/bin/chromium; do
  [ -e "$header" ] || need_install=1
done

# "apt-get source" needs deb-src entries. They are derived from the machine's
# own apt sources (same URIs, suites and components), so no package host is
# named here.
write_source_entries() {
  local out_sources=/etc/apt/sources.list.d/zep-deb-src.sources
  local out_list=/etc/apt/sources.list.d/zep-deb-src.list
  local f
  : >"$out_sources.new"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && [ "$f" != "$out_sources" ] || continue
    # deb822 stanzas whose Types hold "deb" are copied with Types: deb-src.
    awk 'BEGIN { RS=""; ORS="\n\n" }
         /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ && !/(^|\n)Enabled:[ \t]*no/ {
           sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f" >>"$out_sources.new"
  done
  : >"$out_list.new"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && [ "$f" != "$out_list" ] || continue
    sed -n 's/^[ \t]*deb[ \t]\+/deb-src /p' "$f" >>"$out_list.new"
  done
  mv "$out_sources.new" "$out_sources"
  mv "$out_list.new" "$out_list"
}
if ! grep -rqsE '^(Types:.*deb-src|[[:space:]]*deb-src[[:space:]])' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  write_source_entries
  need_install=1
fi

if [ "$need_install" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends \
    cmake ninja-build g++ clang libclang-rt-14-dev lld llvm pkg-config python3 \
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    wine64 nsis dpkg-dev systemd \
    libjsoncpp-dev libutfcpp-dev libgtest-dev googletest \
    libbenchmark-dev libboost-dev chromium >/dev/null
  # Node.js may come with the machine from elsewhere; only a missing one is installed.
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
  fi
fi

deps="$here/build/deps"
if [ ! -f "$deps/jsoncpp/src/lib_json/json_value.cpp" ]; then
  rm -rf "$deps/jsoncpp-src" && mkdir -p "$deps/jsoncpp-src"
  (cd "$deps/jsoncpp-src" && apt-get source -qq libjsoncpp-dev >/dev/null 2>&1)
  rm -rf "$deps/jsoncpp"
  mv "$deps"/jsoncpp-src/libjsoncpp-*/ "$deps/jsoncpp"
  rm -rf "$deps/jsoncpp-src"
fi
# Google Benchmark for the Windows benchmarks, from Debian's source package too.
if [ ! -f "$deps/benchmark/CMakeLists.txt" ]; then
  rm -rf "$deps/benchmark-src" && mkdir -p "$deps/benchmark-src"
  (cd "$deps/benchmark-src" && apt-get source -qq benchmark >/dev/null 2>&1)
  rm -rf "$deps/benchmark"
  mv "$deps"/benchmark-src/benchmark-*/ "$deps/benchmark"
  rm -rf "$deps/benchmark-src"
fi
