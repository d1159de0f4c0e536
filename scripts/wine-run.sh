#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, which it
# creates on first use. CMake uses it as the emulator of the Windows builds.
# winscard.dll is taken native first: the project's stand-in (pcsc_bridge/)
# when the bridge fixture has put it into the prefix, else Wine's own.
#
#   wine-run.sh PROGRAM.exe [ARGS...]   runs the program
#   wine-run.sh --prefix                makes sure the prefix exists, prints its path
#   wine-run.sh --i386-mode             prints how 32-bit programs run here:
#                                       "native" or "emulate"
#   wine-run.sh --i386-kernel           prints what the kernel does with them:
#                                       "native", "refused" or "unknown"
#
# The loader is chosen by the program's machine type, never by /usr/bin/wine
# (which takes the 32-bit loader whenever wine32 is installed):
#   x86_64 programs always run under the 64-bit loader, wine64;
#   i686 programs run under the 32-bit loader: natively when this machine's
#   kernel runs 32-bit programs, else through the qemu-i386 user-mode
#   emulator that scripts/setup.sh registers for them (binfmt_misc).
# Whether the kernel runs 32-bit programs is found out once per boot
# (scripts/i386_probe.py) and kept in .deps/wine-i386.
#
# Environment:
#   SOLVANTA_WINE_I386=native|emulate  overrides what was found out (to try
#       the emulated path: see scripts/qemu-i386-binfmt.sh sandbox)
#   SOLVANTA_WINE_THREADED=1  the program runs several threads at once: an
#       i686 program then is not started under emulation, where 32-bit Wine
#       threads crash the emulator; the run is reported skipped (exit 77)
#   SOLVANTA_WINEPREFIX  another prefix than .deps/wine
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${SOLVANTA_WINEPREFIX:-$top/.deps/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};winscard=n,b"
export WINEARCH=win64

wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
skip_code=77

# What the kernel does with 32-bit programs: native, refused or unknown.
# Probed once per boot; the answer is kept with the boot's id.
kernel_i386() {
  local cache="$top/.deps/wine-i386" boot want got
  boot=$(cat /proc/sys/kernel/random/boot_id 2>/dev/null || echo unknown-boot)
  if [ -f "$cache" ] && read -r want got <"$cache" && [ "$want" = "$boot" ] && [ -n "$got" ]; then
    printf '%s\n' "$got"
    return 0
  fi
  mkdir -p "$top/.deps"
  got=$(/usr/bin/python3 "$top/scripts/i386_probe.py" "$top/.deps") || got=unknown
  printf '%s %s\n' "$boot" "$got" >"$cache.$$"
  mv -f "$cache.$$" "$cache"
  printf '%s\n' "$got"
}

# True when an enabled binfmt_misc entry hands i386 programs to qemu.
i386_emulator_registered() {
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$entry" ] || continue
    grep -qx enabled "$entry" 2>/dev/null || continue
    grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null && return 0
  done
  return 1
}

i386_mode() {
  case "${SOLVANTA_WINE_I386:-}" in
    native | emulate) printf '%s\n' "$SOLVANTA_WINE_I386"; return 0 ;;
    "") ;;
    *) echo "wine-run.sh: SOLVANTA_WINE_I386 must be native or emulate" >&2; exit 2 ;;
  esac
  case "$(kernel_i386)" in
    native) echo native ;;
    refused) echo emulate ;;
    *) if i386_emulator_registered; then echo emulate; else echo native; fi ;;
  esac
}

# The PE machine type of a program: 014c (i686), 8664 (x86_64), or nothing
# for a file that is not a PE image.
pe_machine() {
  local file=$1 offset sig
  [ -f "$file" ] || return 0
  [ "$(head -c 2 "$file" 2>/dev/null)" = "MZ" ] || return 0
  offset=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
  [ -n "$offset" ] || return 0
  sig=$(od -An -tx1 -j"$offset" -N6 "$file" | tr -d ' \n')
  [ "${sig:0:8}" = "50450000" ] || return 0
  printf '%s%s\n' "${sig:10:2}" "${sig:8:2}"
}

# Whether the 32-bit half of the prefix can be set up now.
i386_runs_here() {
  [ "$(i386_mode)" = native ] || i386_emulator_registered
}

# Makes the prefix once, under a lock: the 64-bit loader sets it up and
# starts the 32-bit half itself, natively or emulated (about 15 s natively,
# half a minute emulated; setup makes the prefix before any test runs).
# .solvanta-ready records whether the 32-bit half was set up; a prefix made
# while 32-bit programs could not run gets it once they can.
ensure_prefix() {
  local ready="$WINEPREFIX/.solvanta-ready" need
  need=i386
  i386_runs_here || need=x86_64
  if [ -f "$ready" ] && { [ "$need" = x86_64 ] || grep -qx i386 "$ready"; }; then
    return 0
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if ! { [ -f "$ready" ] && { [ "$need" = x86_64 ] || grep -qx i386 "$ready"; }; }; then
    local how=-i
    [ -f "$ready" ] && how=-u
    WINELOADER=$wine64 "$wine64" wineboot "$how" >/dev/null 2>&1
    WINELOADER=$wine64 wineserver -w
    printf '%s\n' "$need" >"$ready"
  fi
  exec 9>&-
}

# Under emulation, the guest address space of a 32-bit program is 2 GB for
# Windows and 128 MB above for Wine's own Unix-side libraries. qemu 7.2 looks
# for free guest memory page by page, and Wine's loader reserves nearly all
# of the space: with qemu's default of 4 GB a program spent some 50 s of CPU
# in that search before it started, with this space about 10 s.
if [ "$(i386_mode)" = emulate ]; then
  export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x88000000}
fi

case "${1:-}" in
  --i386-mode)
    i386_mode
    exit 0
    ;;
  --i386-kernel)
    kernel_i386
    exit 0
    ;;
  --prefix)
    ensure_prefix
    printf '%s\n' "$WINEPREFIX"
    exit 0
    ;;
  "")
    echo "usage: wine-run.sh PROGRAM [ARGS...] | --prefix | --i386-mode | --i386-kernel" >&2
    exit 2
    ;;
esac

ensure_prefix
machine=$(pe_machine "$1")
if [ "$machine" = 014c ]; then
  mode=$(i386_mode)
  if [ "$mode" = emulate ]; then
    if [ "${SOLVANTA_WINE_THREADED:-0}" = 1 ]; then
      echo "SKIPPED: $(basename "$1") ${*:2}: runs several threads at once, and 32-bit Wine" \
           "threads crash the user-mode emulator (qemu-i386) that runs 32-bit programs on" \
           "this machine; these cases run where the kernel runs 32-bit programs, and in" \
           "the x86_64 tree everywhere"
      exit "$skip_code"
    fi
    if [ "$(kernel_i386)" != native ] && ! i386_emulator_registered; then
      echo "wine-run.sh: this kernel refuses 32-bit programs and no qemu-i386 binfmt entry" \
           "is registered: run scripts/setup.sh as root" >&2
      exit 1
    fi
    # Under the emulator a 32-bit Wine program now and then dies of a
    # fault of the emulator's (a signal, or an exception Wine reports at
    # an address where no code of the program is). Such an end is not the
    # program's verdict: it is started once more, and the second end
    # stands. 0 and 1 (GoogleTest's passed and failed) stand at once. No
    # debugger is started for a crash: under emulation winedbg can hang.
    export WINELOADER=$wine32
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d"
    set +e
    "$wine32" "$@"
    status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 1 ] && [ "$status" -ne "$skip_code" ]; then
      echo "wine-run.sh: $(basename "$1") ended with status $status under the user-mode" \
           "emulator; starting it once more" >&2
      "$wine32" "$@"
      status=$?
    fi
    exit "$status"
  fi
  export WINELOADER=$wine32
  exec "$wine32" "$@"
fi
export WINELOADER=$wine64
exec "$wine64" "$@"
