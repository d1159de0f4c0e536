#!/usr/bin/env python3
"""Tray monitor benchmark (not run by CTest): from an injected arrival of the
virtual token to its certificates in the user's MY store, with the real
library, for 1, 4 and 8 containers holding a certificate. Printed: the time
beyond the fixed 2.1 s wait of the arrival and the first one-second poll,
and the part of it spent registering (the manager library's calls).

  flock -o /tmp/solvanta-card.lock python3 tests/monitor/bench/arrival_bench.py --build build/win64 [--runs 3]

The virtual token and the PC/SC bridge must be up (ctest -R
'card_env_start|bridge_start' in that tree first); the token is written
anew for each container count through the library (road_writer), the
fixtures are those of the store tests (store_fixtures.py). Times are taken
from the monitor's log lines as they appear: "usb arrival handled=1" to the
arrival's "register token=0 ... ms=<registration>".
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

from bench_app import TOP, guibed, monitor_app
from vtctl import VtCtl  # noqa: E402

PATH_0166 = "\\\\?\\USB#VID_096E&PID_0166#5&1a&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
FIXED_MS = 2100 + 1000


def read(path):
    try:
        return open(path, encoding="utf-8", errors="replace").read()
    except OSError:
        return ""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    made = monitor_app(build, "arrival_bench", extra=["tests/monitor/monitor_road_writer.exe"])
    if made is None:
        return 77
    out, app = made
    fixtures = os.path.join(out, "fixtures")
    subprocess.run([sys.executable, os.path.join(TOP, "tests", "mgr", "store_fixtures.py"), fixtures], check=True,
                   timeout=300)
    s = guibed.Session(os.path.join(build, "gui", "prefix-themed"), outdir=out)
    rows = []
    with s:
        drv = guibed.Driver(s, os.path.join(build, "tests", "gui", "gui_driver.exe"))
        s.wine([os.path.join(build, "tests", "mgr", "standin_register.exe"), "--stores"], timeout=300)
        for n in (1, 4, 8):
            r = s.wine([os.path.join(app, "monitor_road_writer.exe")], timeout=600,
                       env={"SOLVANTA_MGR_FIXTURES": guibed.windows_path(fixtures), "SOLVANTA_MGR_KEEP_TOKEN": "1",
                            "SOLVANTA_ROAD_CONTAINERS": str(n)})
            if r.returncode != 0:
                print(r.stdout, r.stderr)
                return 1
            beyond, lib = [], []
            for i in range(a.runs):
                log = os.path.join(out, "n%d_run%d.log" % (n, i))
                env = {"SOLVANTEX_MON_TEST": "log=%s;boxes=1;sleep=100000" % guibed.windows_path(log)}
                p = s.spawn([os.path.join(app, "SolvantexMon.exe")], env=env)
                guibed.wait_until(lambda: "register token=0" in read(log), 120, "registration at start")
                with VtCtl(40470, timeout=5.0) as vt:
                    vt.remove()
                if not guibed.removal_notice(drv, PATH_0166, lambda: read(log)):
                    raise AssertionError("the monitor still counts the pulled token")
                with VtCtl(40470, timeout=5.0) as vt:
                    vt.insert(wait_ready=True)
                base = read(log).count("register token=0")
                q = drv.spawn("devchange", "arrival", PATH_0166)
                guibed.wait_until(lambda: "usb arrival handled=1" in read(log), 60, "the arrival", step=0.002)
                t0 = time.monotonic()
                guibed.wait_until(lambda: read(log).count("register token=0") > base, 90, "the registration",
                                  step=0.002)
                elapsed = (time.monotonic() - t0) * 1000
                q.wait(timeout=60)
                last = [ln for ln in read(log).splitlines() if ln.startswith("register token=0")][-1]
                beyond.append(elapsed - FIXED_MS)
                lib.append(float(last.split("ms=")[1]))
                drv("endsession", "TSolvantex_TrayIcon")
                p.wait(timeout=60)
            rows.append((n, statistics.median(beyond), statistics.median(lib)))
    print("SolvantexMon %s, real library, arrival to certificates in MY (%d runs each)" %
          (guibed.pe_machine(os.path.join(app, "SolvantexMon.exe")), a.runs))
    print("  containers  beyond 2.1 s + first poll  of it registering (library)")
    for n, b, l in rows:
        print("  %10d  %20.1f ms  %18.1f ms" % (n, b, l))
    return 0


if __name__ == "__main__":
    sys.exit(main())
