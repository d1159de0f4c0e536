#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, which it
# creates on first use. CMake uses it as the emulator of the Windows builds.
# winscard.dll is taken native first: the project's stand-in (pcsc_bridge/)
# when the bridge fixture has put it into the prefix, else Wine's own.
#
#   wine-run.sh --prefix   makes sure the prefix exists and prints its path
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${SOLVANTA_WINEPREFIX:-$top/.deps/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};winscard=n,b"
export WINEARCH=win64

if [ ! -f "$WINEPREFIX/.solvanta-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.solvanta-ready" ]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.solvanta-ready"
  fi
  exec 9>&-
fi
if [ "${1:-}" = "--prefix" ]; then
  printf '%s\n' "$WINEPREFIX"
  exit 0
fi
exec wine "$@"
