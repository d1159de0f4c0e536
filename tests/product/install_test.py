"""The installed folder of a Windows tree, as a user's machine gets it:
`cmake --install <tree> --prefix <fresh folder>` lays out exactly the four
deliverables side by side, the monitor's config\\ and Languages\\ beside them
and the card library's public header in include\\; nothing of the tests. Each
DLL exports exactly its list, undecorated (and the installed header declares
the card library's); the monitor imports exactly its 21
functions from SolvantaMgr.dll; no binary needs a run-time DLL beside it that
the folder does not hold.

    install_test.py CMAKE BUILD_DIR SOURCE_DIR OBJDUMP MONITOR_EXE MGR_DLL MODULE_DLL CARD_LIBRARY_DLL
"""
import filecmp
import os
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_tables import def_exports, dll_exports, name_list, pe_imports  # noqa: E402
from road import install  # noqa: E402

ARGS = None

# What the monitor calls in the manager library, linked by name at load time.
MONITOR_IMPORTS = {
    "init_pkcs11", "init_pkcs11_ex", "uninit_pkcs11", "token_find", "token_connect", "token_get_info",
    "token_reload_all_objects", "container_load_all", "container_get_pubkey", "container_get_cert",
    "helper_get_cert_info2", "container_addcert_to_store", "helper_add_root_cert_to_store",
    "token_find_standalone_certs", "token_get_cert", "remove_all_certs_from_store", "token_get_pin_state",
    "token_login", "token_logout", "token_change_upin", "token_read_file",
}

BINARIES = ["SolvantexMon.exe", "SolvantaMgr.dll", "solvantex_pkcs11.dll", "ZervikSolvanta.dll"]
HEADERS = ["ZervikSolvanta.h", "zervik_status.h"]


def relative_files(root):
    found = set()
    for dirpath, _, files in os.walk(root):
        for f in files:
            found.add(os.path.relpath(os.path.join(dirpath, f), root).replace(os.sep, "/"))
    return found


class Installed(unittest.TestCase):
    """Installs the tree into a fresh folder once per class."""

    @classmethod
    def setUpClass(cls):
        cls.cmake, cls.build, cls.source, cls.objdump = ARGS[:4]
        cls.built = ARGS[4:]  # the build outputs of BINARIES, in that order
        cls.work = tempfile.mkdtemp(prefix="install-", dir=cls.build)
        cls.prefix = os.path.join(cls.work, "Solvantex")
        install(cls.cmake, cls.build, cls.prefix)
        cls.dist = os.path.join(cls.source, "monitor", "dist")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.prefix, name)


class InstalledFolder(Installed):
    def test_exactly_the_shipped_files(self):
        expected = set(BINARIES) | {"include/" + h for h in HEADERS} | relative_files(self.dist)
        found = relative_files(self.prefix)
        self.assertEqual(found - expected, set(), "installed but not shipped")
        self.assertEqual(expected - found, set(), "shipped but not installed")
        # The configuration beside the program is the tree's, byte for byte.
        for rel in relative_files(self.dist):
            self.assertTrue(filecmp.cmp(os.path.join(self.dist, rel), self.path(rel), shallow=False), rel)
        for h in HEADERS:
            self.assertTrue(filecmp.cmp(os.path.join(self.source, "apdu.core", "include", h),
                                        self.path("include/" + h), shallow=False), h)
        self.assertTrue(os.path.isfile(self.path("config/MgrConfig.ini")))
        self.assertTrue(os.path.isfile(self.path("Languages/LanguageInfo.ini")))

    def test_each_binary_is_the_deliverable_not_a_test_build(self):
        # The tests build fakes under the same names (a fake SolvantaMgr.dll
        # among them): what is installed is the deliverable's own output.
        for binary, built in zip(BINARIES, self.built):
            self.assertEqual(os.path.basename(built), binary)
            self.assertTrue(filecmp.cmp(built, self.path(binary), shallow=False), binary)
        tests_dir = os.path.join(self.build, "tests")
        for dirpath, _, files in os.walk(tests_dir):
            for f in files:
                if f.lower() not in {b.lower() for b in BINARIES}:
                    continue
                candidate = os.path.join(dirpath, f)
                installed = self.path([b for b in BINARIES if b.lower() == f.lower()][0])
                built = self.built[[b.lower() for b in BINARIES].index(f.lower())]
                if not filecmp.cmp(candidate, built, shallow=False):
                    self.assertFalse(filecmp.cmp(candidate, installed, shallow=False), candidate)
        # No installed file has a test program's or a test library's name.
        test_names = set()
        for dirpath, _, files in os.walk(tests_dir):
            test_names.update(f.lower() for f in files if f.lower().endswith((".dll", ".exe")))
        installed_names = {os.path.basename(f).lower() for f in relative_files(self.prefix)}
        self.assertEqual((installed_names & test_names) - {b.lower() for b in BINARIES}, set())

class Exports(Installed):
    def check_exports(self, dll, expected):
        names = dll_exports(self.path(dll), self.objdump)
        self.assertEqual(len(names), len(set(names)), dll + ": a name twice")
        self.assertEqual([n for n in names if "@" in n], [], dll + ": decorated names")
        self.assertEqual(set(names) - expected, set(), dll + ": exported beyond its list")
        self.assertEqual(expected - set(names), set(), dll + ": missing from its exports")

    def test_card_library_exports_its_120(self):
        expected = {n.partition("@")[0] for n in def_exports(os.path.join(self.source, "apdu.core",
                                                                           "ZervikSolvanta.def"))}
        self.assertEqual(len(expected), 120)
        self.assertTrue(all(n.startswith("Zervik_") for n in expected))
        self.check_exports("ZervikSolvanta.dll", expected)
        # The installed header declares exactly what the DLL exports.
        with open(self.path("include/ZervikSolvanta.h"), encoding="utf-8") as f:
            declared = re.findall(r"ZERVIK_API\s+[\w\s*]+?ZERVIK_CALL\s+(Zervik_\w+)\s*\(", f.read())
        self.assertEqual(len(declared), len(set(declared)))
        self.assertEqual(set(declared), expected)

    def test_module_exports_the_c_and_m_functions(self):
        expected = set(name_list(os.path.join(self.source, "pkcs11", "exports.txt")))
        c_names = {n for n in expected if n.startswith("C_")}
        m_names = {n for n in expected if n.startswith("M_")}
        self.assertEqual((len(c_names), len(m_names), len(expected)), (68, 12, 80))
        self.assertIn("C_GetFunctionList", c_names)
        self.assertIn("M_GetExtFunctionList", m_names)
        self.check_exports("solvantex_pkcs11.dll", expected)

    def test_manager_library_exports_its_64_bare(self):
        expected = set(name_list(os.path.join(self.source, "mgr", "exports.txt")))
        self.assertEqual(len(expected), 64)
        self.check_exports("SolvantaMgr.dll", expected)


class MonitorImports(Installed):
    def test_monitor_imports_its_21_from_the_manager_library(self):
        self.assertEqual(len(MONITOR_IMPORTS), 21)
        imports = pe_imports(self.path("SolvantexMon.exe"), self.objdump)
        self.assertIn("solvantamgr.dll", imports, sorted(imports))
        names = imports["solvantamgr.dll"]
        self.assertEqual(len(names), len(set(names)))
        self.assertEqual(set(names), MONITOR_IMPORTS)
        # Every one of them is there to be found in the installed library.
        self.assertLessEqual(set(names), set(dll_exports(self.path("SolvantaMgr.dll"), self.objdump)))


class RunTimes(Installed):
    def test_no_binary_needs_a_run_time_that_is_not_beside_it(self):
        installed = {b.lower() for b in BINARIES}
        for binary in BINARIES:
            imports = pe_imports(self.path(binary), self.objdump)
            self.assertTrue(imports, binary)
            for dll in imports:
                if dll in installed:
                    continue
                # The compiler's run-times (libstdc++, libgcc, winpthreads) are
                # linked in; only system DLLs stay outside the folder.
                self.assertFalse(dll.startswith("lib"), "%s needs %s" % (binary, dll))
                self.assertNotIn(dll, {"mbedcrypto.dll", "mbedx509.dll", "mbedtls.dll"}, binary)
        # The module and the manager library reach the card library's command
        # core through their own copies: neither loads ZervikSolvanta.dll by name.
        self.assertNotIn("zerviksolvanta.dll", pe_imports(self.path("solvantex_pkcs11.dll"), self.objdump))


if __name__ == "__main__":
    ARGS = sys.argv[1:9]
    unittest.main(argv=[sys.argv[0]] + sys.argv[9:])
