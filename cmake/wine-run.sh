#!/usr/bin/env bash
# Runs a Windows test program under Wine in the build's own prefix.
export WINEPREFIX="${ZEP_WINEPREFIX:-$(pwd)/wineprefix}"
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
exec /usr/lib/wine/wine64 "$@"
