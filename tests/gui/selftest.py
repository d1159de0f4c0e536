#!/usr/bin/env python3
"""The GUI bed checks itself: a driver process as the fake manager window
("TSolvantex_Mgr") logs WM_COPYDATA that a second driver process sends, a
UTF-16 text with CJK characters arrives intact, the window is found by class
on the shared virtual desktop, and the desktop is shot both ways (PrintWindow
or BitBlt in the driver, imagemagick from X)."""
import os
import sys

import guibed


def main():
    s, drv = guibed.test_session()
    with s:
        log = os.path.join(s.outdir, "fakemgr.log")
        if os.path.exists(log):
            os.remove(log)
        mgr = drv.spawn("fakemgr", guibed.windows_path(log), 60000)
        drv("waitwin", "TSolvantex_Mgr", "-", 30000)
        drv("send", "TSolvantex_Mgr", 1, "LANGUAGE")
        drv("send", "tsolvantex_mgr", 7, "证书 ok")
        guibed.wait_until(lambda: os.path.exists(log) and open(log, encoding="utf-8").read().count("\n") >= 2,
                          10, "the fake manager's log")
        lines = open(log, encoding="utf-8").read().splitlines()
        assert lines == ["1 LANGUAGE", "7 证书 ok"], lines
        bmp = os.path.join(s.outdir, "desktop.bmp")
        drv("screenshot", "desktop", "-", guibed.windows_path(bmp))
        with open(bmp, "rb") as f:
            head = f.read(26)
        assert head[:2] == b"BM", head
        assert int.from_bytes(head[18:22], "little") == 1024 and int.from_bytes(head[22:26], "little") == 768
        png = s.screenshot("desktop.png")
        import subprocess
        size = subprocess.run(["identify", "-format", "%wx%h", png], capture_output=True, text=True,
                              timeout=30).stdout
        assert size == "1024x768", size
        # A message the driver cannot deliver is a failure, not a hang.
        r = drv("send", "NoSuchClass_Anywhere", 1, "x", check=False)
        assert r.returncode == 1, r
        drv("close", "TSolvantex_Mgr", "-")
        mgr.wait(timeout=30)
        assert mgr.returncode == 0, mgr.returncode
    print("gui bed self-test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
