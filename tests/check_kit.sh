#!/usr/bin/env bash
# The host developer's kit, as a newcomer meets it: "cmake --install" lays the
# product out; the example host, built with find_package(zep), runs against
# the installed module and prints the exact reply; cpack's zip or Debian
# packages hold the kit (the Debian ones split, laid out, licensed and
# hardened as Debian wants, with maintainer scripts that drive the unit).
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
        lib/pkgconfig/zep.pc share/doc/zep/README.md share/doc/zep/LICENSE)
if [ "$kind" = windows ]; then
  module="bin/zep.dll"
  files=(bin/zep.dll bin/zep.pdb bin/zephost.exe lib/zep.lib lib/zep.def "${common[@]}")
else
  module="lib/zep/libzep.so"
  files=(lib/zep/libzep.so lib/zep/libzep.so.debug bin/zephost bin/.debug/zephost.debug
         lib/systemd/system/zephost.service share/doc/zep/copyright "${common[@]}")
fi
for file in "${files[@]}"; do
  [ -f "$prefix/$file" ] || fail "the install lacks $file"
done
if [ "$kind" = windows ]; then
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake")
  exe=.exe
else
  grep -x >/dev/null "ExecStart=$prefix/bin/zephost --module $prefix/lib/zep/libzep.so" "$prefix/lib/systemd/system/zephost.service" ||
    fail "the installed unit does not start the installed zephost"
  toolchain=()
  exe=
fi

# 2. The example host through find_package(zep).
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

# 3. The package.
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
  debs=("$scratch"/packages/zep_16.2.6.1212_amd64.deb "$scratch"/packages/zep-dev_16.2.6.1212_all.deb
        "$scratch"/packages/zep-dbg_16.2.6.1212_amd64.deb)
  root="$scratch/root"
  for deb in "${debs[@]}"; do
    [ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$scratch/packages")"
    [ -f "$deb" ] && dpkg-deb -x "$deb" "$root"
  done
  # Each package's files and links, as a whole: the service's state lies
  # beside the module under /var/lib/zep, never under /usr.
  contents() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v -e '/$' -e '^./usr/share/doc/zep/docs/' | sort; }
  [ "$(contents "${debs[0]}")" = "$(printf '%s\n' ./usr/bin/zephost ./usr/lib/systemd/system/zephost.service \
      ./usr/lib/zep/libzep.so ./usr/share/doc/zep/LICENSE ./usr/share/doc/zep/README.md \
      ./usr/share/doc/zep/copyright ./var/lib/zep/libzep.so)" ] || fail "zep holds:"$'\n'"$(contents "${debs[0]}")"
  [ "$(contents "${debs[1]}")" = "$(printf '%s\n' ./usr/include/zep_exports.h ./usr/lib/cmake/zep/zepConfig.cmake \
      ./usr/lib/cmake/zep/zepConfigVersion.cmake ./usr/lib/pkgconfig/zep.pc ./usr/share/doc/zep-dev)" ] ||
    fail "zep-dev holds:"$'\n'"$(contents "${debs[1]}")"
  [ "$(contents "${debs[2]}")" = "$(printf '%s\n' ./usr/lib/debug/usr/bin/zephost.debug \
      ./usr/lib/debug/var/lib/zep/libzep.so.debug ./usr/share/doc/zep-dbg)" ] ||
    fail "zep-dbg holds:"$'\n'"$(contents "${debs[2]}")"
  [ "$(readlink -f "$root/usr/lib/zep/libzep.so")" = "$root/var/lib/zep/libzep.so" ] ||
    fail "/usr/lib/zep/libzep.so is not a link to /var/lib/zep/libzep.so"
  grep -F >/dev/null 'License: Apache-2.0' "$root/usr/share/doc/zep/copyright" || fail "the copyright names no licence"
  cmp -s "$root/usr/share/doc/zep/LICENSE" "$source/LICENSE" || fail "the package's LICENSE is not the repository's"
  dpkg-deb -f "${debs[0]}" Depends | grep >/dev/null 'libjsoncpp' || fail "zep does not depend on JsonCpp"
  for deb in "${debs[@]:1}"; do
    [ "$(dpkg-deb -f "$deb" Depends)" = "zep (= 16.2.6.1212)" ] || fail "$(basename "$deb") does not depend on zep"
  done
  unit="$root/usr/lib/systemd/system/zephost.service"
  for setting in "ExecStart=/usr/bin/zephost --module /var/lib/zep/libzep.so" ReadWritePaths=/var/lib/zep \
                 ProtectSystem=strict UMask=0022 \
                 "CapabilityBoundingSet=CAP_SETUID CAP_SETGID CAP_KILL CAP_SYS_PTRACE CAP_DAC_OVERRIDE CAP_FOWNER CAP_CHOWN"; do
    grep -x >/dev/null "$setting" "$unit" || fail "the unit lacks $setting"
  done
  exposure=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for zephost.service: \([0-9.]*\).*/\1/p')
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 4.0) }' || fail "the unit's exposure is [$exposure], above 4.0"
  # The maintainer scripts, run as dpkg runs them on a system under systemd,
  # against stand-ins that record what they are asked.
  if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
    control="$scratch/control" fake="$scratch/fake"
    dpkg-deb -e "${debs[0]}" "$control"
    mkdir -p "$fake"
    for tool in systemctl deb-systemd-helper rm; do
      printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$fake" >"$fake/$tool"
      chmod +x "$fake/$tool"
    done
    calls=$(unshare -m /bin/sh -c 'fake=$0 control=$1
      mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system || exit 1
      for step in "postinst configure" "prerm remove" "postrm remove" "postrm purge"; do
        set -- $step; PATH="$fake:$PATH" "$control/$1" "$2" || echo "$1 $2 failed" >>"$fake/calls"
      done
      cat "$fake/calls"' "$fake" "$control" 2>&1)
    expected_calls="deb-systemd-helper unmask zephost.service
deb-systemd-helper enable zephost.service
systemctl --system daemon-reload
systemctl restart zephost.service
systemctl stop zephost.service
systemctl --system daemon-reload
systemctl --system daemon-reload
deb-systemd-helper purge zephost.service
deb-systemd-helper unmask zephost.service
rm -rf /var/lib/zep"
    [ "$calls" = "$expected_calls" ] || fail "the maintainer scripts called:"$'\n'"$calls"
  fi
fi

[ "$failed" = 0 ] && echo "host kit complete"
exit "$failed"
