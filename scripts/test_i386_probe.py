#!/usr/bin/python3
"""Checks the 32-bit probe against the binfmt_misc entry that setup registers.

The probe must reach the kernel's own ELF loader even when the qemu-i386
entry is registered: the entry's magic and mask (read from
scripts/qemu-i386-binfmt.sh, the one place they are written) must not match
the probe's header, and must match an ordinary i386 program's.
"""
import os
import re
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import i386_probe  # noqa: E402


def registered_entry():
    """(offset, magic, mask) of the entry in qemu-i386-binfmt.sh."""
    with open(os.path.join(HERE, "qemu-i386-binfmt.sh")) as f:
        text = f.read()
    line = re.search(r"^entry='(:qemu-i386:[^']*)'", text, re.M).group(1)
    fields = line.split(":")
    # :name:type:offset:magic:mask:interpreter:flags
    return int(fields[3] or 0), unescape(fields[4]), unescape(fields[5])


def unescape(text: str) -> bytes:
    """binfmt_misc's spelling: \\xHH escapes among plain characters."""
    return bytes(int(esc, 16) if esc else ord(plain)
                 for esc, plain in re.findall(r"\\x([0-9a-fA-F]{2})|(.)", text))


def entry_claims(header: bytes) -> bool:
    offset, magic, mask = registered_entry()
    part = header[offset:offset + len(magic)]
    return len(part) == len(magic) and all((b & m) == (g & m) for b, m, g in zip(part, mask, magic))


class ProbeTest(unittest.TestCase):
    def test_the_entry_is_well_formed(self):
        _, magic, mask = registered_entry()
        self.assertEqual(len(magic), 20)
        self.assertEqual(len(mask), 20)

    def test_the_entry_claims_an_ordinary_i386_program_but_not_the_probe(self):
        probe = i386_probe.probe_image()
        ordinary = bytearray(probe)
        ordinary[9:16] = bytes(7)  # the identification padding as compilers write it
        self.assertTrue(entry_claims(bytes(ordinary)))
        self.assertFalse(entry_claims(probe))

    def test_the_probe_is_an_i386_executable(self):
        probe = i386_probe.probe_image()
        self.assertEqual(probe[:7], b"\x7fELF\x01\x01\x01")
        self.assertEqual(probe[16:20], b"\x02\x00\x03\x00")  # ET_EXEC, EM_386

    def test_the_probe_answers_and_leaves_nothing_behind(self):
        with tempfile.TemporaryDirectory() as work:
            self.assertIn(i386_probe.probe(work), ("native", "refused", "unknown"))
            self.assertEqual(os.listdir(work), [])


if __name__ == "__main__":
    unittest.main()
