#!/usr/bin/env bash
# The main job on a Debian 12 machine, as root: installs what is missing,
# builds everything, starts the virtual token behind pcscd, and drives the
# card library against it. Services it started are stopped at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh
for p in native win32 win64; do
  cmake --preset "$p" >/dev/null
  cmake --build "build/$p" -j"$(nproc)" >/dev/null
done
echo "built: build/native, build/win32, build/win64"

workdir="$top/build/demo-card-env"
exec 9>/tmp/solvanta-card.lock
flock 9
/usr/bin/python3 tests/harness/card_env.py start --workdir "$workdir"
trap '/usr/bin/python3 tests/harness/card_env.py stop --workdir "$workdir"' EXIT
/usr/bin/python3 scripts/demo.py "$top/build/native/apdu.core/libZervikSolvanta.so"
