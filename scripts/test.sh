#!/usr/bin/env bash
# Runs every test of the tree on a Debian 12 machine, as root: installs what is
# missing, builds all configurations (Linux with AddressSanitizer and
# UndefinedBehaviorSanitizer, Linux with ThreadSanitizer, plain Linux, Windows
# i686 and x86_64), and runs the tests natively and under Wine. The card environment (pcscd, the virtual
# token, the PC/SC bridge) is started and stopped by the test fixtures.
# Ends with a line "N passed, N failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh || { echo "setup failed"; echo "0 passed, 1 failed"; exit 1; }

presets=(native-asan native-tsan native win32 win64)
results="$top/build/test-results"
rm -rf "$results"
mkdir -p "$results"
build_failed=0

for p in "${presets[@]}"; do
  echo "=== configure and build: $p"
  if ! { cmake --preset "$p" >"$results/$p-configure.log" 2>&1 &&
         cmake --build "build/$p" -j"$(nproc)" >"$results/$p-build.log" 2>&1; }; then
    echo "build of $p failed:"
    tail -n 40 "$results/$p-configure.log" "$results/$p-build.log" 2>/dev/null
    build_failed=$((build_failed + 1))
    touch "$results/$p.build-failed"
  fi
done

# One card environment per machine: runs of this script (or of developers'
# ctest) take turns.
for p in "${presets[@]}"; do
  [ -f "$results/$p.build-failed" ] && continue
  echo "=== tests: $p"
  flock -o /tmp/solvanta-card.lock \
    ctest --test-dir "build/$p" --output-on-failure -j"$(nproc)" \
      --timeout 900 --output-junit "$results/$p.xml" 2>&1 | tail -n 200
done

/usr/bin/python3 "$top/scripts/test_summary.py" "$results" "$build_failed"
