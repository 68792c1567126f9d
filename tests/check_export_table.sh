#!/usr/bin/env bash
# The DLL exports exactly the ten plain names, needs no MinGW runtime DLL and
# carries no debug sections (its symbols are in zep.pdb).
set -euo pipefail
dll="$1"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && !/Table/ {print $NF}' | sort | tr '\n' ' ')
expected="CloseWebSocket DistributeCommand DoAction GetAlias GetImage GetPorts GetVersionDesc GetWaitTimeout Reserved SetImage "
if [ "$names" != "$expected" ]; then
  echo "export table: [$names]"
  echo "expected:     [$expected]"
  echo "0 passed, 1 failed"
  exit 1
fi
if printf '%s\n' "$dump" | grep -qiE 'DLL Name: (libstdc\+\+|libgcc|libwinpthread)'; then
  echo "zep.dll needs a MinGW runtime DLL"
  echo "0 passed, 1 failed"
  exit 1
fi
if x86_64-w64-mingw32-objdump -h "$dll" | grep -q ' \.debug_'; then
  echo "zep.dll carries debug sections"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "export table holds the ten names"
echo "1 passed, 0 failed"
