#!/usr/bin/env python3
"""Tray monitor benchmark (not run by CTest): start-up to the tray icon with
one token present, and the memory the running monitor holds, under Wine on
the GUI bed; the median of several starts, with the time spent in the
manager library's calls at start beside it.

  monitor_bench.py --build build/win64 [--runs 7] [--fake]

With the real library (the default) the virtual token must be up and the
PC/SC bridge running: run it under the card lock, e.g.
  flock -o /tmp/solvanta-card.lock python3 tests/monitor/bench/monitor_bench.py --build build/win64
(ctest -R 'card_env_start|bridge_start' in that tree first, or the
demo's environment). --fake uses the scripted fake library instead (no card).
Start-up counts from the process start (Wine's loader included) to the
monitor's "tray add" log line; memory is the process's resident set then.
"""
import argparse
import os
import shutil
import statistics
import sys
import time

from bench_app import guibed, monitor_app


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--fake", action="store_true")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    made = monitor_app(build, "bench", real_module=not a.fake)
    if made is None:
        return 77
    out, app = made
    scenario = os.path.join(out, "scenario.ini")
    with open(scenario, "w") as f:
        f.write("[library]\ntokens=1\n")
    if a.fake:
        shutil.copy(os.path.join(build, "tests", "monitor", "fake_mgr", "SolvantaMgr.dll"), app)
    s = guibed.Session(os.path.join(build, "gui", "prefix-themed"), outdir=out)
    starts, libs, mems = [], [], []
    with s:
        drv = guibed.Driver(s, os.path.join(build, "tests", "gui", "gui_driver.exe"))
        drv("waitwin", "-", "-", 100)  # the desktop is up before the first start
        for i in range(a.runs):
            log = os.path.join(out, "run%d.log" % i)
            env = {"SOLVANTEX_MON_TEST": "log=" + guibed.windows_path(log),
                   "SOLVANTA_FAKE_MGR_SCENARIO": guibed.windows_path(scenario)}
            t0 = time.monotonic()
            p = s.spawn([os.path.join(app, "SolvantexMon.exe")], env=env)

            def shown():
                try:
                    return "tray add id=1 ok=1" in open(log, encoding="utf-8").read()
                except OSError:
                    return False
            guibed.wait_until(shown, 120, "the tray icon", step=0.005)
            starts.append((time.monotonic() - t0) * 1000)
            guibed.wait_until(lambda: "library calls at start" in open(log, encoding="utf-8").read(), 30,
                              "the start's library time")
            text = open(log, encoding="utf-8").read()
            libs.append(float(text.split("library calls at start ms=", 1)[1].split()[0]))
            time.sleep(0.5)
            mems.append(rss_kb(p.pid) or 0)
            drv("endsession", "TSolvantex_TrayIcon")
            p.wait(timeout=60)
    arch = guibed.pe_machine(os.path.join(app, "SolvantexMon.exe"))
    med_start, med_lib = statistics.median(starts), statistics.median(libs)
    print("SolvantexMon %s, %s library, %d starts" % (arch, "fake" if a.fake else "real", a.runs))
    print("  start-up to tray icon  median %7.1f ms  (min %.1f, max %.1f)" % (med_start, min(starts), max(starts)))
    print("  in the library's calls median %7.1f ms  (%.0f%% of the start-up)" % (med_lib, 100.0 * med_lib / med_start))
    print("  resident memory        median %7.0f KiB" % statistics.median(mems))
    return 0


if __name__ == "__main__":
    sys.exit(main())
