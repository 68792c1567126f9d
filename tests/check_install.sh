#!/usr/bin/env bash
# "cmake --install" lays the product out as a library ships: the library and
# the host in bin (Windows) or lib and bin, the exports header in include, the
# import library in lib, the debug file beside the library, the README in
# share/doc; the library itself carries no debug sections, only a debug link.
set -euo pipefail
build="$1" kind="$2"
prefix="$build/install-check"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
if [ "$kind" = windows ]; then
  library="bin/zep.dll"
  expected=(bin/zep.dll bin/zep.dll.debug bin/zephost.exe include/zep_exports.h lib/zep.lib share/doc/zep/README.md)
  objdump=x86_64-w64-mingw32-objdump
else
  library="lib/libzep.so"
  expected=(lib/libzep.so lib/libzep.so.debug bin/zephost include/zep_exports.h share/doc/zep/README.md)
  objdump=objdump
fi
failed=0
for file in "${expected[@]}"; do
  if [ ! -f "$prefix/$file" ]; then
    echo "missing: $file"
    failed=1
  fi
done
if [ -f "$prefix/$library" ]; then
  sections=$("$objdump" -h "$prefix/$library")
  if printf '%s\n' "$sections" | grep -q ' \.debug_'; then
    echo "$library carries debug sections"
    failed=1
  fi
  if ! printf '%s\n' "$sections" | grep -q ' \.gnu_debuglink'; then
    echo "$library has no debug link"
    failed=1
  fi
fi
rm -rf "$prefix"
if [ "$failed" = 0 ]; then
  echo "install layout complete"
  echo "1 passed, 0 failed"
else
  echo "0 passed, 1 failed"
fi
exit "$failed"
