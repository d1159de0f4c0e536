"""The manager library's export table in step: the public header, both .def
files, exports.txt and the built DLL name the same 64 exports; the DLL
exports them bare (no @N); the i686 .def's @N is 4 bytes per argument of the
header's declaration, and that tree's import library maps the decorated
names that callers compile against.

    export_table_test.py HEADER DEF_X86_64 DEF_I686 EXPORTS_TXT DLL IMPORT_LIB OBJDUMP NM BITS
"""
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from pe_tables import def_exports, dll_exports, name_list  # noqa: E402

ARGS = None
EXPECTED_COUNT = 64


def header_exports(path):
    text = open(path, encoding="utf-8").read()
    found = {}
    for m in re.finditer(r"SOLVANTAMGR_API\s+int\s+SOLVANTAMGR_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        params = " ".join(m.group(2).split())
        count = 0 if params in ("", "void") else len(params.split(","))
        found[m.group(1)] = count
    return found


class ExportTable(unittest.TestCase):
    def setUp(self):
        (self.header, self.def64, self.def32, self.txt, self.dll, self.implib, self.objdump, self.nm,
         self.bits) = ARGS
        self.declared = header_exports(self.header)

    def test_header_declares_64(self):
        self.assertEqual(len(self.declared), EXPECTED_COUNT, sorted(self.declared))

    def test_exports_txt_and_the_x86_64_def_name_the_header(self):
        txt = name_list(self.txt)
        self.assertEqual(len(txt), len(set(txt)), "no name twice")
        self.assertEqual(set(txt), set(self.declared))
        names = def_exports(self.def64)
        self.assertEqual(len(names), len(set(names)))
        self.assertTrue(all("@" not in n for n in names), "bare names")
        self.assertEqual(set(names), set(self.declared))

    def test_the_i686_def_decorates_4_bytes_per_argument(self):
        decorated = def_exports(self.def32)
        bare = {}
        for entry in decorated:
            name, _, size = entry.partition("@")
            self.assertTrue(size.isdigit(), entry)
            bare[name] = int(size)
        self.assertEqual(set(bare), set(self.declared))
        for name, size in bare.items():
            self.assertEqual(size, 4 * self.declared[name], name)

    def test_the_built_dll_exports_the_64_bare(self):
        names = dll_exports(self.dll, self.objdump)
        self.assertEqual(len(names), EXPECTED_COUNT, names)
        self.assertTrue(all("@" not in n for n in names), [n for n in names if "@" in n])
        self.assertEqual(set(names), set(self.declared))

    def test_the_i686_import_library_maps_the_decorated_names(self):
        if self.bits != "32":
            self.skipTest("x86_64 names carry no decoration")
        out = subprocess.run([self.nm, self.implib], check=True, capture_output=True, text=True).stdout
        symbols = set(re.findall(r"\s[TI]\s+(\S+)", out))
        for name, args in self.declared.items():
            self.assertIn("_%s@%d" % (name, 4 * args), symbols, name)


if __name__ == "__main__":
    ARGS = sys.argv[1:10]
    unittest.main(argv=[sys.argv[0]] + sys.argv[10:])
