"""The export and import tables of a PE file, as mingw's objdump -p prints
them, and the export lists the tree keeps (a .def file, a list of names one a
line). Shared by the export-table and the installed-folder tests."""
import re
import subprocess


def _objdump(path, objdump):
    return subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout


def dll_exports(dll, objdump):
    """The names of the export table in their order ([] when it has none)."""
    table = _objdump(dll, objdump).split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not m:
            break
        names.append(m.group(1))
    return names


def pe_imports(path, objdump):
    """{DLL name as written, lower case: [imported names]}; an import by
    ordinal is given as "#<ordinal>"."""
    imports = {}
    current = None
    in_members = False
    for line in _objdump(path, objdump).splitlines():
        m = re.match(r"\s*DLL Name:\s*(\S+)\s*$", line)
        if m:
            current = imports.setdefault(m.group(1).lower(), [])
            in_members = False
            continue
        if current is None:
            continue
        if re.match(r"\s*vma:\s+Hint/Ord\s+Member-Name", line):
            in_members = True
            continue
        if not in_members:
            continue
        m = re.match(r"\s*[0-9a-fA-F]+\s+(\d+)\s+(\S+)\s*$", line)
        if m:
            current.append(m.group(2))
            continue
        m = re.match(r"\s*[0-9a-fA-F]+\s+<none>\s+([0-9a-fA-F]+)\s*$", line)
        if m:
            current.append("#%d" % int(m.group(1), 16))
            continue
        if not line.strip():
            in_members = False
            current = None
    return imports


def def_exports(path):
    """The names after EXPORTS in a .def file, as written (with any @N)."""
    names = []
    in_exports = False
    for line in open(path, encoding="utf-8"):
        line = line.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
            continue
        if in_exports:
            names.append(line.split()[0])
    return names


def name_list(path):
    """A list of names, one a line, blank lines left out."""
    with open(path, encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip()]
