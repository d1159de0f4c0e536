#!/usr/bin/env bash
# The main job on a Debian 12 machine, as root: installs what is missing,
# builds the deliverables (native, win32, win64) and the demo's tooling,
# starts the virtual token behind pcscd, and walks the product's main road
# against it (scripts/demo.py): the card library, the PKCS #11 module
# through pkcs11-tool, the manager library under Wine, the tray monitor
# under Xvfb. Everything it started is stopped at the end.
#   SOLVANTA_JOBS  parallel build jobs (default: the machine's processors)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${SOLVANTA_JOBS:-$(nproc)}
t0=$(date +%s)

bash scripts/setup.sh
# The deliverables of each tree; the demo's Windows steps run the x86_64
# set (it runs under Wine on every machine) with the test bed's driver, the
# PC/SC bridge's winscard.dll and the demo's own program.
product="ZervikSolvanta solvantex_pkcs11 SolvantaMgr SolvantexMon"
declare -A targets=(
  [native]="ZervikSolvanta solvantex_pkcs11 solvanta_pcsc_bridge"
  [win32]="$product"
  [win64]="$product solvanta_winscard gui_driver solvanta_demo_tool"
)
for p in native win32 win64; do
  cmake --preset "$p" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "build/$p" -j"$jobs" --target ${targets[$p]} >/dev/null
done
echo "built: build/native, build/win32, build/win64"

demo="$top/build/demo"
prefix="$demo/prefix"
mkdir -p "$demo"
# The demo's own Wine prefix (themed, with the test bed's fonts), made once.
/usr/bin/python3 tests/gui/guibed.py prefix "$prefix" >/dev/null
t1=$(date +%s)
echo "set-up done in $((t1 - t0)) s"

workdir="$demo/card-env"
exec 9>/tmp/solvanta-card.lock
flock 9
cleanup() {
  /usr/bin/python3 pcsc_bridge/bridge_env.py stop --workdir "$demo/bridge" || true
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  /usr/bin/python3 tests/harness/card_env.py stop --workdir "$workdir"
}
trap cleanup EXIT
/usr/bin/python3 tests/harness/card_env.py start --workdir "$workdir" --fresh >/dev/null
status=0
/usr/bin/python3 scripts/demo.py --top "$top" --native "$top/build/native" --win "$top/build/win64" \
  --workdir "$demo" --card-env "$workdir/card-env.json" --prefix "$prefix" || status=$?
echo "demo finished in $(($(date +%s) - t1)) s after the set-up (status $status)"
exit "$status"
