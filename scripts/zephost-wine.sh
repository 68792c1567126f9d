#!/usr/bin/env bash
# Runs zephost.exe under Wine so that SIGTERM stops it gracefully, as it does
# natively. Wine ends a Windows process on SIGTERM before any of the process's
# code runs, while SIGINT reaches it as Ctrl+C, which zephost handles: this
# passes SIGTERM, SIGINT and SIGHUP on as SIGINT and exits with zephost's own
# status. Arguments go to zephost.exe; ZEPHOST_EXE and WINE override where
# zephost.exe and the Wine loader are.
set -u
here="$(cd "$(dirname "$0")/.." && pwd)"
exe="${ZEPHOST_EXE:-$here/build/windows/zephost.exe}"
wine="${WINE:-/usr/lib/wine/wine64}"

"$wine" "$exe" "$@" &
child=$!
interrupted=0
trap 'interrupted=1; kill -INT "$child" 2>/dev/null' TERM INT HUP
while :; do
  interrupted=0
  wait "$child"
  status=$?
  # A trapped signal ends the wait early; the next wait gives zephost's status.
  [ "$interrupted" = 1 ] || break
done
exit "$status"
