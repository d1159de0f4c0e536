#!/usr/bin/env python3
"""The controls gallery in one prefix of the GUI test bed (themed or
classic): the gallery's own live checks (pixels through PrintWindow against
the running system's colours, input through SendInput), then the driver
typing into the spin edit from another process, and pictures of the
gallery kept in the test's output folder.

    gallery_test.py <controls_gallery.exe> themed|classic
"""
import os
import subprocess
import sys

import guibed


def main():
    gallery, variant = sys.argv[1], sys.argv[2]
    s, drv = guibed.test_session([gallery])
    with s:
        bmp = os.path.join(s.outdir, "gallery-%s-check.bmp" % variant)
        for old in (bmp, bmp[:-4] + "-panels.bmp", bmp[:-4] + "-states.bmp"):
            if os.path.exists(old):
                os.remove(old)
        r = s.wine([gallery, "check", variant, guibed.windows_path(bmp)], timeout=180)
        sys.stdout.write(r.stdout)
        lines = r.stdout.splitlines()
        assert r.returncode == 0, "gallery checks failed (status %d):\n%s%s" % (r.returncode, r.stdout, r.stderr)
        assert any(l.endswith(" 0 failed") for l in lines), r.stdout
        assert os.path.getsize(bmp) > 100000, bmp
        png = os.path.join(s.outdir, "gallery-%s.png" % variant)
        subprocess.run(["convert", bmp, png], check=True, timeout=60)
        # The panels page: borders, group boxes, gradients and dock sites.
        panels_bmp = bmp[:-4] + "-panels.bmp"
        assert os.path.getsize(panels_bmp) > 100000, panels_bmp
        subprocess.run(["convert", panels_bmp, os.path.join(s.outdir, "gallery-%s-panels.png" % variant)],
                       check=True, timeout=60)
        # The edits' and buttons' further states, in a window of their own.
        states = os.path.join(s.outdir, "gallery-%s-check-states.bmp" % variant)
        assert os.path.getsize(states) > 10000, states
        subprocess.run(["convert", states, os.path.join(s.outdir, "gallery-%s-states.png" % variant)],
                       check=True, timeout=60)

        # From another process: the driver types 400 into the focused spin
        # edit (the gallery selects its text), the focus moves on, 365 shows.
        g = s.spawn([gallery, "show"])
        drv("waitwin", "SolvantaGallery", "-", 30000)
        drv("dlg", "Controls gallery", "type", "400")
        guibed.wait_until(lambda: "child 200 SolvantaSpinEdit: 400" in drv("text", "SolvantaGallery", "-").stdout,
                          10, "400 typed into the spin edit")
        drv("send", "SolvantaGallery", 1, "next")
        guibed.wait_until(lambda: "child 200 SolvantaSpinEdit: 365" in drv("text", "SolvantaGallery", "-").stdout,
                          10, "365 after the focus left")
        s.screenshot("gallery-%s-desktop.png" % variant)
        drv("send", "SolvantaGallery", 1, "quit")
        g.wait(timeout=60)
        assert g.returncode == 0, g.returncode
    print("controls gallery (%s) passed" % variant)
    return 0


if __name__ == "__main__":
    sys.exit(main())
