#!/usr/bin/env bash
# Makes the Wine prefix of the certificate store tests: a copy of the
# project's prefix (a fresh one would cost minutes where 32-bit programs run
# emulated), with empty MY, ROOT and CA stores whose keys exist, and the
# stand-in provider registered under the token provider's name and as
# "Microsoft Base Smart Card Crypto Provider".
#
#   store_prefix.sh PREFIX BINDIR    (BINDIR holds standin_register.exe)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$1
bin=$2
bash "$top/scripts/wine-run.sh" --prefix >/dev/null
if [ -d "$prefix" ]; then
  WINEPREFIX=$prefix timeout 60 wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
mkdir -p "$(dirname "$prefix")"
cp -a "$top/.deps/wine" "$prefix"
rm -f "$prefix/wineserver"
export SOLVANTA_WINEPREFIX=$prefix
timeout 900 bash "$top/scripts/wine-run.sh" "$bin/standin_register.exe" --stores \
  "Tarnely Zervik N8Dex CSP V1.1" "Microsoft Base Smart Card Crypto Provider"
WINEPREFIX=$prefix timeout 120 wineserver -w
