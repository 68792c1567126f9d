#!/usr/bin/env bash
# The host developer's kit, as a newcomer meets it: "cmake --install" lays the
# product out; the header compiles as C99 and as C++ with the compilers of the
# target; the example host, built with find_package(zep) and with pkg-config,
# runs against the installed module and prints the exact reply; the Windows
# DLL names a valid PDB and carries its image version; cpack's zip or Debian
# package holds the kit, and the example builds and runs from the unpacked
# package; the README holds the example files as they are.
# usage: check_kit.sh <build dir> posix|windows <source dir> [emulator]
set -uo pipefail
build="$1" kind="$2" source="$3" emulator="${4:-}"
scratch=$(mktemp -d "$build/kit-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

expected_reply=$'reply on connection 1:\n{\n   "event" : "TKVersion",\n   "id" : "1",\n   "result" : [ "0", "Corvantis Service" ],\n\t"cmdId" : "7"\n}\nDistributeCommand returned 0'
# Runs a built host, natively or under Wine with a Windows path to the module.
run_host() {
  local program="$1" module="${2:-}"
  if [ "$kind" = windows ]; then
    "$emulator" "$program" "Z:${module//\//\\}" | tr -d '\r'
  else
    if [ -n "$module" ]; then "$program" "$module"; else "$program"; fi
  fi
}
check_host() {
  local what="$1" output
  shift
  output=$(run_host "$@" 2>&1)
  [ "$output" = "$expected_reply" ] || fail "$what printed:"$'\n'"$output"
}

# 1. The installed tree.
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install"
common=(include/zep_exports.h lib/cmake/zep/zepConfig.cmake lib/cmake/zep/zepConfigVersion.cmake
        lib/pkgconfig/zep.pc share/doc/zep/README.md)
if [ "$kind" = windows ]; then
  module="bin/zep.dll"
  files=(bin/zep.dll bin/zep.pdb bin/zephost.exe lib/zep.lib lib/zep.def "${common[@]}")
else
  module="lib/zep/libzep.so"
  files=(lib/zep/libzep.so lib/zep/libzep.so.debug bin/zephost bin/.debug/zephost.debug
         lib/systemd/system/zephost.service "${common[@]}")
fi
for file in "${files[@]}"; do
  [ -f "$prefix/$file" ] || fail "the install lacks $file"
done

if [ "$kind" = windows ]; then
  # 2. The DLL's debug directory names zep.pdb with the PDB's own GUID and age.
  headers=$(x86_64-w64-mingw32-objdump -p "$prefix/bin/zep.dll")
  rsds=$(printf '%s\n' "$headers" | grep -o 'format RSDS signature [0-9a-f]* age [0-9]* pdb [^)]*')
  [ "$(printf '%s' "$rsds" | awk '{print $NF}')" = zep.pdb ] || fail "the debug directory names [$rsds]"
  summary=$(llvm-pdbutil dump -summary "$prefix/bin/zep.pdb") || fail "llvm-pdbutil cannot read zep.pdb"
  guid=$(printf '%s\n' "$summary" | sed -n 's/.*GUID: {\(.*\)}/\1/p' | tr -d '-' | tr 'A-F' 'a-f')
  age=$(printf '%s\n' "$summary" | sed -n 's/.*Age: //p')
  [ "$rsds" = "format RSDS signature $guid age $age pdb zep.pdb" ] ||
    fail "zep.pdb ({$guid}, age $age) is not the one the DLL names: $rsds"
  printf '%s\n' "$summary" | grep >/dev/null 'Has Debug Info: true' || fail "zep.pdb has no debug information"
  llvm-pdbutil dump -publics "$prefix/bin/zep.pdb" | grep >/dev/null '`DistributeCommand`' ||
    fail "zep.pdb does not name DistributeCommand"
  llvm-pdbutil dump -modules "$prefix/bin/zep.pdb" | grep >/dev/null 'request_routing\.cpp' ||
    fail "zep.pdb has no module of the sources"
  [ "$(printf '%s\n' "$headers" | awk '/^M(aj|in)orImageVersion/ {printf "%s.", $2}')" = 16.2. ] ||
    fail "the image version is not 16.2"
  # 3. The header as C99 and C++, with MinGW's GCC and an MSVC-style Clang.
  header_checks=("x86_64-w64-mingw32-gcc-posix -std=c99 -pedantic -x c"
                 "x86_64-w64-mingw32-g++-posix -std=c++11 -pedantic -x c++"
                 "clang --target=x86_64-pc-windows-msvc -ffreestanding -fms-compatibility -std=c99 -x c"
                 "clang --target=x86_64-pc-windows-msvc -ffreestanding -fms-compatibility -std=c++14 -x c++")
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake")
  cc=x86_64-w64-mingw32-gcc-posix
  exe=.exe
else
  grep -x >/dev/null "ExecStart=$prefix/bin/zephost" "$prefix/lib/systemd/system/zephost.service" ||
    fail "the installed unit does not start the installed zephost"
  for binary in "$module" bin/zephost; do
    sections=$(objdump -h "$prefix/$binary")
    printf '%s\n' "$sections" | grep >/dev/null ' \.debug_' && fail "$binary carries debug sections"
    printf '%s\n' "$sections" | grep >/dev/null ' \.gnu_debuglink' || fail "$binary has no debug link"
  done
  header_checks=("gcc -std=c99 -pedantic -x c" "g++ -std=c++11 -pedantic -x c++"
                 "clang -std=c99 -pedantic -x c" "clang++ -std=c++11 -pedantic -x c++")
  toolchain=()
  cc=gcc
  exe=
fi
for compiler in "${header_checks[@]}"; do
  # shellcheck disable=SC2086
  printf '#include "zep_exports.h"\nZepDistributeCommandFn entry = DistributeCommand;\n' |
    $compiler -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" - || fail "the header as $compiler"
done

# 4. The example host through find_package(zep), and through pkg-config.
if cmake -S "$source/examples" -B "$scratch/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" \
     -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/consumer.log" 2>&1 &&
   cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1; then
  check_host "the find_package(zep) host" "$scratch/consumer/minimal_host$exe" "$([ "$kind" = windows ] && echo "$prefix/$module")"
  # A Windows host runs on other machines: no path of this one is built in.
  [ "$kind" = windows ] && grep -aF >/dev/null "$prefix" "$scratch/consumer/minimal_host.exe" &&
    fail "the Windows host holds the build machine's path $prefix"
else
  cat "$scratch/consumer.log"
  fail "the find_package(zep) host does not build"
fi
pc() { PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config "$@" zep; }
[ "$(pc --variable=module)" -ef "$prefix/$module" ] || fail "zep.pc names the module $(pc --variable=module)"
# shellcheck disable=SC2046
if $cc -std=c99 -Wall -Wextra -Werror $(pc --cflags) -o "$scratch/pc_host$exe" "$source/examples/minimal_host.c" \
     $([ "$kind" = posix ] && echo -ldl); then
  check_host "the pkg-config host" "$scratch/pc_host$exe" "$(pc --variable=module)"
else
  fail "the pkg-config host does not build"
fi

# 5. The package.
(cd "$build" && cpack -B "$scratch/packages" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; fail "cpack"; }
if [ "$kind" = windows ]; then
  zip=$(ls "$scratch"/packages/zep-16.2.6.1212-win64.zip 2>/dev/null)
  if [ -z "$zip" ]; then
    fail "cpack made no zip"
  else
    listing=$(cmake -E tar tf "$zip")
    for file in "${files[@]}"; do
      printf '%s\n' "$listing" | grep -x >/dev/null "zep-16.2.6.1212-win64/$file" || fail "the zip lacks $file"
    done
  fi
else
  deb=$(ls "$scratch"/packages/zep_16.2.6.1212_*.deb 2>/dev/null)
  if [ -z "$deb" ]; then
    fail "cpack made no Debian package"
  else
    root="$scratch/root"
    dpkg-deb -x "$deb" "$root"
    for file in "${files[@]}"; do
      [ -f "$root/usr/$file" ] || fail "the package lacks /usr/$file"
    done
    dpkg-deb -f "$deb" Depends | grep >/dev/null 'libjsoncpp' || fail "the package does not depend on JsonCpp"
    unit="$root/usr/lib/systemd/system/zephost.service"
    for setting in ExecStart=/usr/bin/zephost NoNewPrivileges=yes ProtectSystem=full ReadWritePaths=/usr/lib/zep \
                   PrivateTmp=yes ProtectKernelTunables=yes RestrictNamespaces=yes MemoryDenyWriteExecute=yes; do
      grep -x >/dev/null "$setting" "$unit" || fail "the unit lacks $setting"
    done
    "$root/usr/bin/zephost" --help >/dev/null || fail "the packaged zephost does not run"
    if cmake -S "$source/examples" -B "$scratch/from-deb" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
         >"$scratch/from-deb.log" 2>&1 && cmake --build "$scratch/from-deb" >>"$scratch/from-deb.log" 2>&1; then
      check_host "the host built from the package" "$scratch/from-deb/minimal_host"
    else
      cat "$scratch/from-deb.log"
      fail "the host does not build from the package"
    fi
  fi
fi

# 6. The README shows the example files as they are.
for example in minimal_host.c CMakeLists.txt; do
  python3 - "$source/README.md" "$source/examples/$example" <<'EOF' || fail "the README does not hold examples/$example"
import sys
readme, example = (open(path).read() for path in sys.argv[1:3])
sys.exit(0 if "```\n" + example + "```\n" in readme.replace("```c\n", "```\n").replace("```cmake\n", "```\n") else 1)
EOF
done

[ "$failed" = 0 ] && echo "host kit complete"
exit "$failed"
