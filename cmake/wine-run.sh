#!/usr/bin/env bash
# Runs a Windows test program under Wine in the build's own prefix.
#
# The program's output goes to a file, printed once it has ended, never
# straight to the caller's pipe: a process the program leaves behind would
# inherit that pipe and keep CTest waiting for it until the time-out.
# Afterwards every process still running in the prefix, other than Wine's own
# services, is named and fails the run; the prefix's server then ends, with
# whatever is left. Tests of one prefix therefore run one at a time.
set -u
export WINEPREFIX="${ZEP_WINEPREFIX:-$(pwd)/wineprefix}"
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
output="$(mktemp)"
/usr/lib/wine/wine64 "$@" >"$output" 2>&1 </dev/null
status=$?
cat "$output"
rm -f "$output"

# The Windows processes of this prefix that are not Wine's own services.
leftovers() {
  local entry pid name
  for entry in /proc/[0-9]*; do
    pid="${entry#/proc/}"
    case "$(readlink "$entry/exe" 2>/dev/null)" in
      */wine64 | */wine64-preloader | */wine | */wine-preloader) ;;
      *) continue ;;
    esac
    tr '\0' '\n' <"$entry/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    [ "$(cut -d' ' -f3 "$entry/stat" 2>/dev/null)" = Z ] && continue
    name="$(tr '\0' '\n' <"$entry/cmdline" 2>/dev/null | head -n 1)"
    case "${name##*\\}" in
      services.exe | explorer.exe | winedevice.exe | plugplay.exe | svchost.exe | rpcss.exe | wineboot.exe) continue ;;
    esac
    echo "$pid $name"
  done
}

# A process that is ending as the program ends gets a moment to go.
left=""
for _ in $(seq 1 20); do
  left="$(leftovers)"
  [ -z "$left" ] && break
  sleep 0.1
done
if [ -n "$left" ]; then
  echo "wine-run: processes left in $WINEPREFIX after $(basename "$1"):"
  echo "$left" | sed 's/^/  /'
  status=1
fi
/usr/lib/wine/wineserver -k >/dev/null 2>&1
/usr/lib/wine/wineserver -w >/dev/null 2>&1
exit "$status"
