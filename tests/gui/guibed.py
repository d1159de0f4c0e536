#!/usr/bin/env python3
"""GUI test bed: Wine prefixes for GUI tests, a private Xvfb display, Wine
programs run under time-outs, screenshots, and clean-up.

Command line:
  guibed.py prefix PREFIX [--classic]
      makes the GUI prefix once (marker file PREFIX/.solvanta-gui-ready)
  guibed.py run --prefix PREFIX [--classic] [--timeout S] [--outdir DIR]
                [--shot-at MS] -- PROGRAM.exe [ARGS...]
      runs one Windows program on a fresh display in that prefix; with
      --shot-at, a screenshot of the whole display is taken that many
      milliseconds after the start (DIR/shot.png); exit status of the program
  guibed.py exec --prefix PREFIX [--classic] [--timeout S] [--outdir DIR]
                 -- COMMAND [ARGS...]
      runs a host command inside a session: DISPLAY, WINEPREFIX and
      SOLVANTA_WINEPREFIX point at the session, GUIBED_WINE names the loader
      script (scripts/wine-run.sh), GUIBED_OUTDIR the output folder

An i686 program on a machine that runs 32-bit programs only under user-mode
emulation is not started: a GUI program and the driver are several processes
with several threads, which the emulator does not survive. The run is
reported skipped (exit 77) with the reason.

The prefix: booted through scripts/wine-run.sh (the tree's loader choice and
32-bit half), Wine's Tahoma, Tahoma Bold and Marlett copied into
drive_c/windows/Fonts, a font link from Tahoma to WenQuanYi Micro Hei so
that Chinese renders, the SimSun names mapped to Tahoma, a virtual desktop
as the default desktop (without a window manager every hidden top-level
window stalls the GUI thread for about 2 s), and with --classic theming off.
"""
import argparse
import glob
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(TOP, "scripts", "wine-run.sh")
FONTS_SRC = "/usr/share/wine/fonts"
CJK_FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
SKIP = 77
MARKER = ".solvanta-gui-ready"


def pe_machine(path):
    """'i686', 'x86_64' or None for a file that is not a PE image."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if head[:2] != b"MZ" or len(head) < 64:
        return None
    off = int.from_bytes(head[60:64], "little")
    if off + 6 > len(head) or head[off:off + 4] != b"PE\0\0":
        return None
    machine = int.from_bytes(head[off + 4:off + 6], "little")
    return {0x14C: "i686", 0x8664: "x86_64"}.get(machine)


def i386_mode():
    out = subprocess.run(["bash", WINE_RUN, "--i386-mode"], capture_output=True,
                         text=True, timeout=120)
    return out.stdout.strip() or "native"


def skip_reason(program):
    """The reason an i686 GUI program cannot run here, or None."""
    if pe_machine(program) == "i686" and i386_mode() == "emulate":
        return ("SKIPPED: %s: a GUI test runs a GUI program and the driver, several processes "
                "with several threads, and 32-bit Wine threads crash the user-mode emulator "
                "(qemu-i386) that runs 32-bit programs on this machine; the test runs where "
                "the kernel runs 32-bit programs, and in the x86_64 tree everywhere"
                % os.path.basename(program))
    return None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_text(path):
    """A text file the monitor or a test program wrote: UTF-16LE with its
    BOM, else UTF-8; "" when it cannot be read."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return ""
    if data[:2] == b"\xff\xfe":
        return data[2:].decode("utf-16-le")
    return data.decode("utf-8", "replace")


def write_utf16(path, text):
    """A configuration or language file as the monitor ships them:
    UTF-16LE with its BOM and CRLF line ends."""
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le"))


def appdata(prefix):
    """The user's roaming application-data folder inside a prefix."""
    roots = [p for p in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Roaming"))
             if "/Public/" not in p]
    assert roots, "no AppData folder in the prefix"
    return roots[0]


class Xvfb:
    """A private X display at 1024x768x24 on a free number."""

    def __init__(self):
        self.proc = None
        self.display = None

    def start(self, timeout=30):
        rfd, wfd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(wfd)
        data = b""
        deadline = time.monotonic() + timeout
        os.set_blocking(rfd, False)
        while b"\n" not in data and time.monotonic() < deadline:
            if self.proc.poll() is not None:
                break
            try:
                chunk = os.read(rfd, 64)
                if chunk:
                    data += chunk
                    continue
                break
            except BlockingIOError:
                time.sleep(0.02)
        os.close(rfd)
        if b"\n" not in data:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + data.decode().strip()
        return self.display

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc = None


def _reg_text(classic):
    def multi(s):
        data = (s + "\0\0").encode("utf-16-le")
        return ",".join("%02x" % b for b in data)
    link = multi("wqy-microhei.ttc,WenQuanYi Micro Hei")
    lines = [
        "Windows Registry Editor Version 5.00", "",
        r"[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]",
        '"Tahoma"=hex(7):' + link,
        '"Tahoma Bold"=hex(7):' + link,
        '"Microsoft Sans Serif"=hex(7):' + link, "",
        r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]",
        '"宋体"="Tahoma"', '"SimSun"="Tahoma"', "",
        r"[HKEY_CURRENT_USER\Software\Wine\Explorer]", '"Desktop"="Default"', "",
        r"[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]", '"Default"="1024x768"', "",
    ]
    if classic:
        lines += [r"[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\ThemeManager]",
                  '"ThemeActive"="0"', ""]
    return "\r\n".join(lines) + "\r\n"


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env["SOLVANTA_WINEPREFIX"] = prefix
    env.setdefault("WINEDEBUG", "-all")
    if display:
        env["DISPLAY"] = display
    env["GUIBED_WINE"] = WINE_RUN
    return env


def make_prefix(prefix, classic=False):
    """Makes the GUI prefix once; returns its absolute path."""
    import fcntl
    prefix = os.path.abspath(prefix)
    variant = "classic" if classic else "themed"
    marker = os.path.join(prefix, MARKER)

    def ready():
        try:
            with open(marker) as f:
                have = f.read().strip()
        except OSError:
            return False
        if have != variant:
            raise RuntimeError("%s was made as %s, not %s" % (prefix, have, variant))
        return True

    if ready():
        return prefix
    for f in ("tahoma.ttf", "tahomabd.ttf", "marlett.ttf"):
        if not os.path.isfile(os.path.join(FONTS_SRC, f)):
            raise RuntimeError("%s/%s is missing (scripts/setup.sh installs fonts-wine)" % (FONTS_SRC, f))
    if not os.path.isfile(CJK_FONT):
        raise RuntimeError("%s is missing (scripts/setup.sh installs fonts-wqy-microhei)" % CJK_FONT)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(prefix + ".gui-lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if ready():
            return prefix
        x = Xvfb()
        x.start()
        try:
            env = wine_env(prefix, x.display)
            subprocess.run(["bash", WINE_RUN, "--prefix"], env=env, check=True,
                           stdout=subprocess.DEVNULL, timeout=600)
            fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
            os.makedirs(fonts, exist_ok=True)
            for f in ("tahoma.ttf", "tahomabd.ttf", "marlett.ttf"):
                with open(os.path.join(FONTS_SRC, f), "rb") as src, \
                        open(os.path.join(fonts, f), "wb") as dst:
                    dst.write(src.read())
            with open(CJK_FONT, "rb") as src, open(os.path.join(fonts, "wqy-microhei.ttc"), "wb") as dst:
                dst.write(src.read())
            reg = os.path.join(prefix, "solvanta-gui.reg")
            with open(reg, "wb") as f:
                f.write(b"\xff\xfe" + _reg_text(classic).encode("utf-16-le"))
            subprocess.run(["bash", WINE_RUN, "regedit", "/S", windows_path(reg)], env=env,
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=120)
            subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        finally:
            x.stop()
        with open(marker, "w") as f:
            f.write(variant + "\n")
    return prefix


class Session:
    """One display and one prefix for a test: start(), wine(), spawn(),
    screenshot(), close()."""

    def __init__(self, prefix, classic=False, outdir=None):
        self.prefix = os.path.abspath(prefix)
        self.classic = classic
        self.outdir = os.path.abspath(outdir or os.getcwd())
        self.xvfb = Xvfb()
        self.env = None
        self.children = []

    def start(self):
        make_prefix(self.prefix, self.classic)
        os.makedirs(self.outdir, exist_ok=True)
        display = self.xvfb.start()
        self.env = wine_env(self.prefix, display)
        self.env["GUIBED_OUTDIR"] = self.outdir
        return self

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # Wine processes start long-lived ones (wineserver, the desktop's
    # explorer) that inherit their standard handles: output goes to files,
    # never pipes, and a run ends when its process ends, not at EOF.
    def _outfiles(self):
        import tempfile
        out = tempfile.TemporaryFile(mode="w+", encoding="utf-8", errors="replace")
        err = tempfile.TemporaryFile(mode="w+", encoding="utf-8", errors="replace")
        return out, err

    def wine(self, args, timeout=60, env=None):
        """Runs a Windows program to its end; CompletedProcess (text)."""
        e = dict(self.env)
        if env:
            e.update(env)
        out, err = self._outfiles()
        cmd = ["bash", WINE_RUN] + list(args)
        p = subprocess.Popen(cmd, env=e, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                             start_new_session=True)
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait(timeout=10)
            raise
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(cmd, p.returncode, out.read(), err.read())

    def spawn(self, args, env=None):
        """Starts a Windows program in the background; Popen whose output()
        gives (stdout, stderr) so far."""
        e = dict(self.env)
        if env:
            e.update(env)
        out, err = self._outfiles()
        p = subprocess.Popen(["bash", WINE_RUN] + list(args), env=e, stdout=out, stderr=err,
                             stdin=subprocess.DEVNULL, start_new_session=True)

        def output():
            out.seek(0)
            err.seek(0)
            return out.read(), err.read()
        p.output = output
        self.children.append(p)
        return p

    def screenshot(self, name):
        """The whole display as OUTDIR/name (png); returns the path."""
        path = os.path.join(self.outdir, name)
        subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", "root", path],
                       check=True, timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def close(self):
        if self.env:
            try:
                subprocess.run(["wineserver", "-k"], env=self.env, timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                subprocess.run(["wineserver", "-w"], env=self.env, timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                pass
        for p in self.children:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except OSError:
                    pass
                p.wait(timeout=10)
        self.children = []
        self.xvfb.stop()


class Driver:
    """The driver program (tests/gui/driver.cpp) in a session."""

    def __init__(self, session, program):
        self.s = session
        self.program = program

    def __call__(self, *args, timeout=60, check=True):
        r = self.s.wine([self.program] + [str(a) for a in args], timeout=timeout)
        if check and r.returncode != 0:
            raise AssertionError("driver %s: status %d\n%s%s" % (" ".join(map(str, args)), r.returncode,
                                                                  r.stdout, r.stderr))
        return r

    def spawn(self, *args):
        return self.s.spawn([self.program] + [str(a) for a in args])


def test_session(programs=()):
    """For a test script run by CTest (solvanta_add_gui_test): exits 77 with
    the reason when one of the programs cannot run here, else returns
    (Session, Driver) on the tree's prefix; the caller start()s and close()s."""
    driver = os.environ["GUIBED_DRIVER"]
    for prog in [driver] + list(programs):
        reason = skip_reason(prog)
        if reason:
            print(reason)
            sys.exit(SKIP)
    s = Session(os.environ["GUIBED_PREFIX"], os.environ.get("GUIBED_CLASSIC") == "1",
                os.environ.get("GUIBED_OUTDIR"))
    return s, Driver(s, driver)


def wait_until(pred, timeout, what, step=0.05):
    """Polls pred until it gives a true value (returned) or the time is up."""
    deadline = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %g s waiting for %s" % (timeout, what))
        time.sleep(step)


def wait_balloon(drv, timeout=6):
    """After a tray balloon was asked for: the seconds until it is on the
    desktop (a visible tooltip window; Wine's tray paints it a moment after
    the request), None when it is not seen in time."""
    started = time.monotonic()
    while time.monotonic() - started < timeout:
        if drv("shows", "tooltips_class32", "-", check=False).returncode == 0:
            return time.monotonic() - started
        time.sleep(0.1)
    return None


def removal_notice(drv, usb_path, log_text, timeout=30):
    """Sends the monitor one removal notice of usb_path and waits until it
    is done with it: at the notice, or when it checks again 3 s later (a
    token the module has not yet seen go still answers at the notice).
    True when the monitor then counts no token. log_text() is the monitor's
    log."""
    at = len(log_text())
    drv("devchange", "removal", usb_path)
    done = ("removal check again:", "usb removal handled=0")
    wait_until(lambda: any(d in log_text()[at:] for d in done), timeout, "the removal handled")
    new = log_text()[at:]
    return "tokens after removal=0" in new or "usb removal handled=0" in new


def main(argv):
    ap = argparse.ArgumentParser(description="GUI test bed")
    sub = ap.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("prefix")
    p.add_argument("path")
    p.add_argument("--classic", action="store_true")
    p.add_argument("--for", dest="for_program",
                   help="a program of the tree: no prefix is made where it cannot run")
    for name in ("run", "exec"):
        r = sub.add_parser(name)
        r.add_argument("--prefix", required=True)
        r.add_argument("--classic", action="store_true")
        r.add_argument("--timeout", type=float, default=120)
        r.add_argument("--outdir")
        if name == "run":
            r.add_argument("--shot-at", type=int)
        r.add_argument("command", nargs=argparse.REMAINDER)
    a = ap.parse_args(argv)
    if a.cmd == "prefix":
        reason = skip_reason(a.for_program) if a.for_program else None
        if reason:
            print("no GUI prefix made: " + reason)
            return 0
        make_prefix(a.path, a.classic)
        return 0
    cmd = [c for c in a.command if c != "--"] if a.command[:1] == ["--"] else a.command
    if a.command[:1] == ["--"]:
        cmd = a.command[1:]
    if not cmd:
        ap.error("no command")
    if a.cmd == "run":
        reason = skip_reason(cmd[0])
        if reason:
            print(reason)
            return SKIP
    with Session(a.prefix, a.classic, a.outdir) as s:
        if a.cmd == "exec":
            try:
                return subprocess.run(cmd, env=s.env, timeout=a.timeout).returncode
            except subprocess.TimeoutExpired:
                print("guibed: %s timed out after %g s" % (cmd[0], a.timeout), file=sys.stderr)
                return 124
        p = s.spawn(cmd)
        if a.shot_at is not None:
            deadline = time.monotonic() + a.shot_at / 1000.0
            while time.monotonic() < deadline and p.poll() is None:
                time.sleep(0.05)
            if p.poll() is None:
                print("screenshot:", s.screenshot("shot.png"))
        try:
            p.wait(timeout=a.timeout)
        except subprocess.TimeoutExpired:
            print("guibed: %s timed out after %g s" % (cmd[0], a.timeout), file=sys.stderr)
            return 124
        out, err = p.output()
        sys.stdout.write(out)
        sys.stderr.write(err)
        return p.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
