#!/usr/bin/env python3
"""Starts and stops the PC/SC bridge for the Windows test runs.

  bridge_env.py start --workdir DIR --bridge PROGRAM --dll WINSCARD_DLL
  bridge_env.py stop  --workdir DIR

start puts the stand-in winscard.dll into the project's Wine prefix (the
folder that matches the DLL's machine type: system32 for x86_64, syswow64
for i686 in the 64-bit prefix; scripts/wine-run.sh loads winscard native
first), then runs the bridge in the background and returns once it listens.
The port is SOLVANTA_PCSC_BRIDGE_PORT or 40480, as for the DLL. stop ends
the bridge this workdir started, and only that one.
"""

import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0

PE_MACHINE_I386 = 0x014C
PE_MACHINE_AMD64 = 0x8664


def pe_machine(path: Path) -> int:
    with open(path, "rb") as f:
        head = f.read(0x400)
    if head[:2] != b"MZ":
        raise SystemExit(f"{path}: not a PE file")
    (pe_offset,) = struct.unpack_from("<I", head, 0x3C)
    with open(path, "rb") as f:
        f.seek(pe_offset)
        sig = f.read(6)
    if sig[:4] != b"PE\0\0":
        raise SystemExit(f"{path}: not a PE file")
    return struct.unpack_from("<H", sig, 4)[0]


def wine_prefix() -> Path:
    out = subprocess.run([str(TOP / "scripts" / "wine-run.sh"), "--prefix"],
                         check=True, capture_output=True, text=True, timeout=300)
    return Path(out.stdout.strip())


def install_dll(dll: Path) -> Path:
    windows = wine_prefix() / "drive_c" / "windows"
    machine = pe_machine(dll)
    if machine == PE_MACHINE_AMD64:
        folder = windows / "system32"
    elif machine == PE_MACHINE_I386:
        wow = windows / "syswow64"
        folder = wow if wow.is_dir() else windows / "system32"
    else:
        raise SystemExit(f"{dll}: unexpected machine type {machine:#x}")
    target = folder / "winscard.dll"
    # Through a rename: a Wine process starting meanwhile sees either file
    # whole.
    tmp = folder / f".winscard.dll.{os.getpid()}"
    shutil.copyfile(dll, tmp)
    os.replace(tmp, target)
    return target


def read_pid(workdir: Path):
    try:
        return int((workdir / "bridge.pid").read_text().strip())
    except (OSError, ValueError):
        return None


def is_our_bridge(pid: int) -> bool:
    try:
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False
    return b"solvanta_pcsc_bridge" in cmdline


def running(pid: int) -> bool:
    """The process exists and has not ended (an ended process may linger as a
    zombie until the machine's init reaps it)."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2:][:1] not in ("Z", "X")


def wait_gone(pid: int, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass
        if not running(pid):
            return True
        time.sleep(0.01)
    return False


def stop(workdir: Path) -> int:
    pid = read_pid(workdir)
    if pid is not None and running(pid) and is_our_bridge(pid):
        os.kill(pid, signal.SIGTERM)
        if not wait_gone(pid, STOP_TIMEOUT_S):
            print(f"bridge {pid} did not stop on SIGTERM; killing it", file=sys.stderr)
            os.kill(pid, signal.SIGKILL)
            wait_gone(pid, STOP_TIMEOUT_S)
    (workdir / "bridge.pid").unlink(missing_ok=True)
    return 0


def start(workdir: Path, bridge: Path, dll: Path) -> int:
    workdir.mkdir(parents=True, exist_ok=True)
    stop(workdir)  # a bridge left behind by an earlier run of this tree
    installed = install_dll(dll)
    ready = workdir / "bridge.ready"
    ready.unlink(missing_ok=True)
    log = open(workdir / "bridge.log", "wb")
    proc = subprocess.Popen([str(bridge), "--ready-file", str(ready)],
                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                            start_new_session=True)
    (workdir / "bridge.pid").write_text(f"{proc.pid}\n")
    deadline = time.monotonic() + START_TIMEOUT_S
    while not ready.exists():
        if proc.poll() is not None or time.monotonic() > deadline:
            if proc.poll() is None:
                proc.terminate()
                proc.wait(timeout=STOP_TIMEOUT_S)
            (workdir / "bridge.pid").unlink(missing_ok=True)
            print((workdir / "bridge.log").read_text(errors="replace"), file=sys.stderr)
            print("the bridge did not start", file=sys.stderr)
            return 1
        time.sleep(0.02)
    port = ready.read_text().strip()
    print(f"bridge {proc.pid} listening on 127.0.0.1:{port}; {installed}")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("--workdir", required=True, type=Path)
    parser.add_argument("--bridge", type=Path)
    parser.add_argument("--dll", type=Path)
    args = parser.parse_args()
    if args.action == "stop":
        return stop(args.workdir)
    if args.bridge is None or args.dll is None:
        parser.error("start needs --bridge and --dll")
    return start(args.workdir, args.bridge, args.dll)


if __name__ == "__main__":
    sys.exit(main())
