#!/usr/bin/env bash
# zephost as a Windows service, as an administrator meets it under Wine: the
# installer (/S) lays out the program files, registers the service and starts
# it; "net stop" closes its port and "net start" opens it; "--install-service"
# rewrites the registration; the system's start runs it again; the
# uninstaller (/S) stops and removes it with the program files.
# usage: check_windows_service.sh <build dir>
set -uo pipefail
build=$(cd "$1" && pwd)
wine=/usr/lib/wine/wine64
scratch=$(mktemp -d "$build/service-check.XXXXXX")
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all
cleanup() {
  release_prefix
  /usr/lib/wine/wineserver -k >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}
# A Windows program's output, read from a file once it has ended: the
# prefix's own processes that it starts would hold a pipe open.
win() {
  local status
  timeout 120 "$wine" "$@" </dev/null >"$scratch/output" 2>&1
  status=$?
  tr -d '\r' <"$scratch/output"
  return "$status"
}

# Wine ends a prefix's services once no other program runs in it: a command
# prompt waiting for input on a pipe that this script keeps open holds the
# prefix (nothing here may hold the caller's output open past the script).
hold_prefix() {
  rm -f "$scratch/hold" && mkfifo "$scratch/hold"
  "$wine" cmd /c "set /p x=" <"$scratch/hold" >/dev/null 2>&1 &
  exec 5>"$scratch/hold"
}
release_prefix() { exec 5>&-; }
free_port() {
  local port
  for port in $(shuf -i 20000-60000 -n 50); do
    # Nothing accepts there: a free port.
    if ! { exec 4<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
      echo "$port"
      return
    fi
    exec 4>&-
  done
}
# The console's host information, or "" when nothing answers.
page_info() {
  local port="$1" reply
  { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return 0
  printf 'GET /zephost/info HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' "$port" >&3
  reply=$(timeout 10 cat <&3 | tr -d '\r')
  exec 3>&-
  printf '%s\n' "$reply" | tail -n 1
}
expect_page() {
  local port="$1" what="$2" info tries
  for tries in $(seq 40); do
    info=$(page_info "$port")
    [ -n "$info" ] && break
    sleep 0.5
  done
  [ "$info" = "{\"versionTag\":\"kelpm2_16261212\",\"alias\":\"zep\",\"port\":$port}" ] ||
    fail "$what: the console on $port answered [$info]"
}
expect_closed() { [ -z "$(page_info "$1")" ] || fail "$2: port $1 still answers"; }
registration() { win reg query 'HKLM\System\CurrentControlSet\Services\zephost'; }

(cd "$build" && cpack -G NSIS -B "$scratch/packages" >"$scratch/cpack.log" 2>&1) || {
  cat "$scratch/cpack.log"
  fail "cpack -G NSIS"
  exit 1
}
installer=$(ls "$scratch"/packages/zep-*-win64.exe)
win cmd /c exit >/dev/null
hold_prefix

# The installed service listens on the zep port the settings give, written
# before the install as an administrator would.
first=$(free_port)
second=$first
while [ "$second" = "$first" ]; do second=$(free_port); done
program="$WINEPREFIX/drive_c/Program Files/zep"
mkdir -p "$program/bin"
printf '[TK]\r\nPort=1\r\nPort_mn_0=zep\r\nPort_mp_0=%s\r\n' "$first" >"$program/bin/TKConfiguration.ini"

# 0. Nowhere but under Program Files: elsewhere users could change what runs as SYSTEM.
out=$(win "$installer" /S '/D=C:\zep') && fail "the installer took C:\zep: $out"
[ ! -e "$WINEPREFIX/drive_c/zep" ] || fail "the refused install left C:\zep"

# 1. A silent install: files, registration, a running service.
out=$(win "$installer" /S) || fail "the installer: $out"
for file in bin/zep.dll bin/zep.pdb bin/zephost.exe include/zep_exports.h Uninstall.exe; do
  [ -f "$program/$file" ] || fail "the install lacks $file"
done
reg=$(registration)
for line in 'ImagePath    REG_SZ    "C:\Program Files\zep\bin\zephost.exe" --service' 'Start    REG_DWORD    0x2' \
            'ObjectName    REG_SZ    LocalSystem' 'PreshutdownTimeout    REG_DWORD    0x3a98' \
            'Description    REG_SZ    Serves the zep module to browser pages on 127.0.0.1 and starts its per-user copies.'; do
  printf '%s\n' "$reg" | grep -qxF "    $line" || fail "the registration lacks [$line]: $reg"
done
win reg query 'HKLM\System\CurrentControlSet\Services\EventLog\Application\zephost' |
  grep -qxF '    EventMessageFile    REG_EXPAND_SZ    C:\Program Files\zep\bin\zephost.exe' ||
  fail "no event log source"
expect_page "$first" "after the install"

# 2. Stopped, the port closes; a registration with a port of its own starts there.
out=$(win net stop zephost)
[ "$out" = $'The zep service host service is stopping.\nThe zep service host service was stopped successfully.' ] ||
  fail "net stop: $out"
expect_closed "$first" "after net stop"
out=$(win "$program/bin/zephost.exe" --install-service --port "$second")
[ "$out" = "zephost: installed the service zephost" ] || fail "--install-service: $out"
registration | grep -qxF "    ImagePath    REG_SZ    \"C:\\Program Files\\zep\\bin\\zephost.exe\" --service --port $second" ||
  fail "the registration was not rewritten: $(registration)"
out=$(win net start zephost)
[ "$out" = $'The zep service host service is starting.\nThe zep service host service was started successfully.' ] ||
  fail "net start: $out"
expect_page "$second" "after net start"

# 3. The system's next start runs it again (an automatic service).
release_prefix
/usr/lib/wine/wineserver -k >/dev/null 2>&1
/usr/lib/wine/wineserver -w >/dev/null 2>&1
expect_closed "$second" "with the system down"
hold_prefix
expect_page "$second" "after the system's start"

# 4. A silent uninstall: the service stops and goes, and so do the files.
# The uninstaller runs from a copy of itself, so its end is waited for.
win "$program/Uninstall.exe" /S >/dev/null
for tries in $(seq 60); do
  [ -e "$program" ] || break
  sleep 0.5
done
[ ! -e "$program" ] || fail "left after the uninstall: $(cd "$program" && find . | sort | tr '\n' ' ')"
expect_closed "$second" "after the uninstall"
registration | grep -q zephost && fail "the service is still registered"
win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\zep' | grep -q UninstallString &&
  fail "the uninstall entry is left"
exit "$failed"
