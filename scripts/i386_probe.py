#!/usr/bin/python3
"""Finds out whether this machine's kernel itself runs 32-bit (i386) programs.

    i386_probe.py WORKDIR

Prints one word: "native" when the kernel runs them, "refused" when it does
not ("Exec format error": booted with ia32_emulation off, or built without
it), or "unknown" when the probe could not tell.

The probe is a tiny i386 program, written into WORKDIR and executed. A
binfmt_misc entry (qemu-i386 for instance) takes precedence over the
kernel's own ELF loader, so the probe is made so that such an entry does not
claim it: its header carries a non-zero byte in the ELF identification
padding, which the kernel's loader ignores and the usual i386 entries
require to be zero. To be sure of who ran it, the probe asks for the
machine name (uname) and exits with its first letter: a 32-bit program run
by a 64-bit kernel is told "x86_64", a user-mode emulator says "i686".
"""
import errno
import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
BUF = BASE + 0x200           # uname buffer, in the zero-filled tail
UTS_MACHINE = 4 * 65         # offset of the machine field in new_utsname


def probe_image() -> bytes:
    code = (b"\xb8\x7a\x00\x00\x00"                         # mov eax, 122 (newuname)
            + b"\xbb" + struct.pack("<I", BUF)               # mov ebx, BUF
            + b"\xcd\x80"                                    # int 0x80
            + b"\x0f\xb6\x1d" + struct.pack("<I", BUF + UTS_MACHINE)  # movzx ebx, byte [machine]
            + b"\xb8\x01\x00\x00\x00"                        # mov eax, 1 (exit)
            + b"\xcd\x80")                                   # int 0x80
    ehsize, phsize = 52, 32
    entry = BASE + ehsize + phsize
    size = ehsize + phsize + len(code)
    # e_ident: ELF, 32-bit, little-endian, version 1, System V ABI; the last
    # padding byte is the marker that keeps binfmt_misc entries off.
    ident = b"\x7fELF\x01\x01\x01\x00" + b"\x00" * 7 + b"\x53"
    header = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, entry, ehsize, 0, 0,
                                 ehsize, phsize, 1, 0, 0, 0)
    program = struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, 0x200 + 512, 7, 0x1000)
    return header + program + code


def probe(workdir: str) -> str:
    os.makedirs(workdir, exist_ok=True)
    fd, path = tempfile.mkstemp(prefix="i386-probe.", dir=workdir)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(probe_image())
        os.chmod(path, 0o755)
        try:
            rc = subprocess.run([path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=30).returncode
        except OSError as e:
            return "refused" if e.errno == errno.ENOEXEC else "unknown"
        except subprocess.TimeoutExpired:
            return "unknown"
        return "native" if rc == ord("x") else "unknown"
    finally:
        os.unlink(path)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    print(probe(sys.argv[1]))
