#!/usr/bin/env bash
# The qemu-i386 user-mode emulator for 32-bit programs on machines whose
# kernel refuses them (scripts/setup.sh registers it there, and only there).
#
#   qemu-i386-binfmt.sh register      as root: registers (or re-enables) the
#                                     binfmt_misc entry "qemu-i386"; idempotent
#   qemu-i386-binfmt.sh status        prints the entry, or "not registered"
#   qemu-i386-binfmt.sh sandbox -- COMMAND [ARGS...]
#       runs COMMAND with 32-bit programs emulated, on any machine, without
#       touching the machine's own binfmt_misc: COMMAND gets a user and mount
#       namespace of its own whose binfmt_misc instance holds the entry
#       (Linux 6.7 or later), and SOLVANTA_WINE_I386=emulate. The way to try
#       the emulated path on a machine that runs 32-bit programs.
#
# A binfmt_misc entry takes precedence over the kernel's own ELF loader: once
# registered machine-wide, every i386 program of the machine is emulated.
set -euo pipefail

qemu=/usr/bin/qemu-i386-static
binfmt=/proc/sys/fs/binfmt_misc
# i386 ELF executables and shared objects (ET_EXEC, ET_DYN); F opens the
# emulator now, so that it also serves programs in other mount namespaces.
entry=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F'

mount_binfmt() {
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
}

register() {
  [ -x "$qemu" ] || { echo "$qemu is missing (Debian package qemu-user-static)" >&2; return 1; }
  mount_binfmt
  if [ -e "$binfmt/qemu-i386" ]; then
    grep -qx enabled "$binfmt/qemu-i386" || echo 1 >"$binfmt/qemu-i386"
  else
    printf '%s' "$entry" >"$binfmt/register"
  fi
}

case "${1:-}" in
  register)
    register
    ;;
  status)
    if [ -e "$binfmt/qemu-i386" ]; then cat "$binfmt/qemu-i386"; else echo "not registered"; fi
    ;;
  sandbox)
    shift
    [ "${1:-}" = "--" ] && shift
    [ $# -gt 0 ] || { echo "usage: $0 sandbox -- COMMAND [ARGS...]" >&2; exit 2; }
    if [ "${SOLVANTA_IN_I386_SANDBOX:-}" = 1 ]; then
      # A binfmt_misc mounted here is this namespace's own instance, even
      # where the machine has one mounted at the same place.
      mount -t binfmt_misc binfmt_misc "$binfmt"
      register
      exec "$@"
    fi
    SOLVANTA_IN_I386_SANDBOX=1 SOLVANTA_WINE_I386=emulate \
      exec unshare --user --map-root-user --mount "$0" sandbox -- "$@"
    ;;
  *)
    echo "usage: $0 register | status | sandbox -- COMMAND [ARGS...]" >&2
    exit 2
    ;;
esac
