"""Adds up the CTest JUnit reports of a test run into one closing line.

Usage: test_summary.py RESULTS_DIR BUILD_FAILURES
Prints the failed tests by name, then "N passed, N failed[, N skipped]"; exits
non-zero when anything failed (a failed build counts as one failure).
"""
import pathlib
import sys
import xml.etree.ElementTree as ET


def main() -> int:
    results = pathlib.Path(sys.argv[1])
    failed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    passed = skipped = 0
    names = []
    for report in sorted(results.glob("*.xml")):
        try:
            root = ET.parse(report).getroot()
        except ET.ParseError:
            failed += 1
            names.append(f"{report.stem}: unreadable report")
            continue
        for case in root.iter("testcase"):
            status = case.get("status", "run")
            if case.find("failure") is not None or status == "fail":
                failed += 1
                names.append(f"{report.stem}: {case.get('name')}")
            elif case.find("skipped") is not None or status in ("notrun", "disabled"):
                skipped += 1
            else:
                passed += 1
    for name in names:
        print(f"FAILED {name}")
    line = f"{passed} passed, {failed} failed"
    if skipped:
        line += f", {skipped} skipped"
    print(line)
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
