#!/usr/bin/python3
"""Card environment for integration tests: pcscd with the vpcd reader and the virtual token.

    card_env.py start --workdir DIR [--fresh] [--timeout S]
    card_env.py stop  --workdir DIR [--timeout S]
    card_env.py stop-pcscd --workdir DIR [--timeout S]
    card_env.py status [--workdir DIR]
    card_env.py run   --workdir DIR [--fresh] [--timeout S] -- COMMAND [ARGS...]

start  Reuses a running pcscd, or starts `pcscd -f -c tests/harness/reader.conf.d`
       (and records that in DIR/pcscd.pid).  Starts the virtual token (DIR/vtoken.pid,
       state in DIR/card-state.json, log in DIR/vtoken.log), or reuses the one this
       DIR started.  Returns once the token is connected to vpcd and pcscd reports
       the card present in "Solvanta Token 00 00".  Writes DIR/card-env.json with
       the ports, reader names and pids.  --fresh resets the card state.
stop   Stops the token, and pcscd only when this DIR started it.  Idempotent.
stop-pcscd
       Stops the pcscd this DIR started and waits until its socket is gone; the
       token keeps running and reconnects to the next pcscd.  `start` brings
       pcscd back.  From Python, `with pcscd_stopped(DIR):` does both, the
       restart also when the block fails.
status Prints what runs.
run    Takes the machine-wide card lock (/tmp/solvanta-card.lock, unless a parent
       process already holds it), starts, runs COMMAND with CARD_ENV_JSON,
       SOLVANTA_READER and VTOKEN_CONTROL_PORT in its environment, stops, and
       exits with COMMAND's status.

Exit status: 0 done, 1 failed (the reason is printed).
"""

import argparse
import contextlib
import fcntl
import json
import os
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "vtoken"))

import pcsc  # noqa: E402
from vtctl import VtCtl, VtCtlError  # noqa: E402

PYTHON = "/usr/bin/python3"
PCSCD = "pcscd"
PCSCD_SOCKET = "/run/pcscd/pcscd.comm"
READER_CONF_DIR = os.path.join(HERE, "reader.conf.d")
VTOKEN = os.path.join(REPO, "vtoken", "vtoken.py")
VPCD_PORT = 0x9E11            # 40465: "Solvanta Token 00 00"
CONTROL_PORT = 40470
READER = "Solvanta Token 00 00"
SPARE_READER = "Solvanta Token 00 01"
POLL = 0.02                   # interval of the few waits that must poll
CARD_LOCK = "/tmp/solvanta-card.lock"


class EnvError(Exception):
    pass


def say(msg: str) -> None:
    print("card_env: " + msg, flush=True)


# -- processes ------------------------------------------------------------------

def _proc_state(pid: int):
    """(state letter, cmdline) of a process, or None when it does not exist."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read().decode(errors="replace")
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return None
    return stat[stat.rindex(")") + 2], cmdline


def alive(pid: int, marker: str) -> bool:
    """The process runs (not a zombie) and its command line contains marker."""
    st = _proc_state(pid)
    return st is not None and st[0] not in "ZX" and marker in st[1]


def spawn(cmd, log_path: str) -> int:
    """Start a background service in its own session, output appended to log_path."""
    log_fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    null_fd = os.open(os.devnull, os.O_RDONLY)
    try:
        return os.posix_spawnp(cmd[0], cmd, os.environ, setsid=True, file_actions=[
            (os.POSIX_SPAWN_DUP2, null_fd, 0), (os.POSIX_SPAWN_DUP2, log_fd, 1),
            (os.POSIX_SPAWN_DUP2, log_fd, 2)])
    finally:
        os.close(log_fd)
        os.close(null_fd)


def exit_status(pid: int):
    """Exit code of a child that has ended, None while it runs."""
    try:
        wpid, status = os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return None if alive(pid, "") else -1
    return os.waitstatus_to_exitcode(status) if wpid == pid else None


def _reap(pid: int) -> None:
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass


def wait_gone(pid: int, marker: str, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while alive(pid, marker):
        _reap(pid)
        if time.monotonic() >= deadline:
            return False
        time.sleep(POLL)
    return True


def stop_process(pid: int, marker: str, timeout: float) -> bool:
    if not alive(pid, marker):
        return True
    os.kill(pid, signal.SIGTERM)
    if wait_gone(pid, marker, timeout):
        return True
    os.kill(pid, signal.SIGKILL)
    return wait_gone(pid, marker, 2.0)


def find_pcscd():
    """Pids of running pcscd processes."""
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/comm" % name) as f:
                    if f.read().strip() == "pcscd" and alive(int(name), "pcscd"):
                        pids.append(int(name))
            except OSError:
                pass
    return pids


def read_pid(path: str):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def write_file(path: str, text: str) -> None:
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def remove_file(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def tail(path: str, lines: int = 15) -> str:
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


# -- pcscd ----------------------------------------------------------------------

def pcscd_accepts() -> bool:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.settimeout(1.0)
        s.connect(PCSCD_SOCKET)
        return True
    except OSError:
        return False
    finally:
        s.close()


class Paths:
    def __init__(self, workdir: str):
        self.dir = os.path.abspath(workdir)
        self.pcscd_pid = os.path.join(self.dir, "pcscd.pid")
        self.pcscd_log = os.path.join(self.dir, "pcscd.log")
        self.vtoken_pid = os.path.join(self.dir, "vtoken.pid")
        self.vtoken_log = os.path.join(self.dir, "vtoken.log")
        self.vtoken_ready = os.path.join(self.dir, "vtoken.ready")
        self.state = os.path.join(self.dir, "card-state.json")
        self.env = os.path.join(self.dir, "card-env.json")


def ensure_pcscd(p: Paths, timeout: float):
    """Returns (pid or None, started_by_us)."""
    ours = read_pid(p.pcscd_pid)
    if ours is not None and not alive(ours, "pcscd"):
        remove_file(p.pcscd_pid)
        ours = None
    if pcscd_accepts():
        if ours is not None:
            say("pcscd pid %d (started by this workdir) is running" % ours)
            return ours, True
        pids = find_pcscd()
        say("reusing the running pcscd%s (not started by this workdir; left running at stop)"
            % (" pid %s" % ",".join(map(str, pids)) if pids else ""))
        return (pids[0] if pids else None), False
    running = find_pcscd()
    if running:
        # A pcscd that is just starting up: give it the deadline to open its socket.
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if pcscd_accepts():
                say("reusing pcscd pid %d, which just came up" % running[0])
                return running[0], ours == running[0]
            time.sleep(POLL)
        raise EnvError("pcscd pid %s runs but does not accept connections on %s"
                       % (",".join(map(str, running)), PCSCD_SOCKET))
    os.makedirs(os.path.dirname(PCSCD_SOCKET), exist_ok=True)
    pid = spawn([PCSCD, "-f", "-c", READER_CONF_DIR], p.pcscd_log)
    write_file(p.pcscd_pid, "%d\n" % pid)
    deadline = time.monotonic() + timeout
    while not pcscd_accepts():
        code = exit_status(pid)
        if code is not None:
            remove_file(p.pcscd_pid)
            raise EnvError("pcscd exited with %s; its log %s ends:\n%s"
                           % (code, p.pcscd_log, tail(p.pcscd_log)))
        if time.monotonic() >= deadline:
            raise EnvError("pcscd pid %d did not open %s within %.0f s"
                           % (pid, PCSCD_SOCKET, timeout))
        time.sleep(POLL)
    say("started pcscd pid %d with readers from %s (log %s)"
        % (pid, READER_CONF_DIR, p.pcscd_log))
    return pid, True


def check_readers(ours: bool, timeout: float):
    deadline = time.monotonic() + timeout
    with pcsc.Context() as ctx:
        while True:
            readers = ctx.readers()
            if READER in readers:
                return readers
            if time.monotonic() >= deadline:
                break
            time.sleep(POLL)
    hint = ("" if ours else
            " This pcscd was not started by the harness: stop it, or start it with"
            " `pcscd -c %s`, or add %s to /etc/reader.conf.d and restart it."
            % (READER_CONF_DIR, os.path.join(READER_CONF_DIR, "solvanta")))
    raise EnvError("pcscd offers no reader %r (readers: %s).%s" % (READER, readers, hint))


# -- the token ------------------------------------------------------------------

def token_answers(port: int):
    """The token's status on port, or None when nothing answers there."""
    try:
        with VtCtl(port, timeout=5.0) as vt:
            return vt.status()
    except (OSError, ValueError, VtCtlError):
        return None


def ensure_token(p: Paths, fresh: bool, timeout: float, pcscd_ours: bool):
    pid = read_pid(p.vtoken_pid)
    if pid is not None and not alive(pid, "vtoken.py"):
        remove_file(p.vtoken_pid)
        pid = None
    status = token_answers(CONTROL_PORT)
    if status is not None:
        if status["pid"] != pid and status.get("state_file") != p.state:
            raise EnvError("a token not started by this workdir (pid %s, state %s) already "
                           "serves control port %d" % (status["pid"], status.get("state_file"),
                                                       CONTROL_PORT))
        say("reusing the virtual token pid %d" % status["pid"])
        if fresh:
            with VtCtl(CONTROL_PORT, timeout=5.0) as vt:
                vt.reset_state()
            say("card state reset to defaults")
        pid = status["pid"]
    else:
        if pid is not None:
            raise EnvError("token pid %d runs but does not answer on control port %d; see %s"
                           % (pid, CONTROL_PORT, p.vtoken_log))
        remove_file(p.vtoken_ready)
        cmd = [PYTHON, VTOKEN, "--port", str(VPCD_PORT), "--control-port", str(CONTROL_PORT),
               "--state", p.state, "--ready-file", p.vtoken_ready]
        if fresh:
            cmd.append("--fresh")
        pid = spawn(cmd, p.vtoken_log)
        write_file(p.vtoken_pid, "%d\n" % pid)
        deadline = time.monotonic() + timeout
        while not os.path.exists(p.vtoken_ready):
            code = exit_status(pid)
            if code is not None:
                remove_file(p.vtoken_pid)
                raise EnvError("the token exited with %s; its log %s ends:\n%s"
                               % (code, p.vtoken_log, tail(p.vtoken_log)))
            if time.monotonic() >= deadline:
                raise EnvError("the token did not come up within %.0f s" % timeout)
            time.sleep(POLL)
        say("started the virtual token pid %d (state %s%s, log %s)"
            % (pid, p.state, ", fresh" if fresh else "", p.vtoken_log))
    # The token waits for the reader on its side: connected to vpcd and asked for the ATR.
    try:
        with VtCtl(CONTROL_PORT, timeout=timeout + 5) as vt:
            vt.call("insert", timeout=timeout)
            status = vt.wait("ready", timeout=timeout)
    except VtCtlError as e:
        hint = ("" if pcscd_ours else
                " The running pcscd was not started by the harness; its vpcd readers may"
                " listen on other ports than %d." % VPCD_PORT)
        raise EnvError("the token got no vpcd connection on port %d: %s.%s"
                       % (VPCD_PORT, e, hint))
    say("token connected to vpcd 127.0.0.1:%d, ATR %s" % (VPCD_PORT, status["atr"]))
    return pid, status


def wait_card_present(timeout: float) -> float:
    with pcsc.Context() as ctx:
        present, waited = ctx.wait_for(READER, want_present=True, timeout=timeout)
    if not present:
        raise EnvError("pcscd does not report a card in %r within %.0f s" % (READER, timeout))
    return waited


# -- the machine-wide lock ---------------------------------------------------------

def _ancestors():
    pid, seen = os.getpid(), set()
    while pid > 1 and pid not in seen:
        seen.add(pid)
        try:
            with open("/proc/%d/stat" % pid) as f:
                stat = f.read()
            pid = int(stat[stat.rindex(")") + 2:].split()[1])
        except (OSError, ValueError, IndexError):
            break
    return seen


def lock_held_by_ancestor(path: str = CARD_LOCK) -> bool:
    """True when a process above us (e.g. `flock LOCK ctest`) holds the flock on path."""
    try:
        st = os.stat(path)
        with open("/proc/locks") as f:
            lines = f.read().splitlines()
    except OSError:
        return False
    inode = "%02x:%02x:%d" % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
    ancestors = _ancestors()
    for line in lines:
        fields = line.split()
        if "->" in fields:          # a waiter, not a holder
            continue
        if len(fields) >= 6 and fields[1] == "FLOCK" and fields[5] == inode:
            try:
                if int(fields[4]) in ancestors:
                    return True
            except ValueError:
                pass
    return False


@contextlib.contextmanager
def card_lock(path: str = CARD_LOCK):
    """Hold the card lock for the block, unless a parent process already holds it."""
    if lock_held_by_ancestor(path):
        yield
        return
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


# -- commands -------------------------------------------------------------------

def start(workdir: str, fresh: bool = False, timeout: float = 10.0) -> dict:
    p = Paths(workdir)
    os.makedirs(p.dir, exist_ok=True)
    if os.environ.get("PCSCLITE_CSOCK_NAME"):
        say("warning: PCSCLITE_CSOCK_NAME is set; pcscd always listens on %s" % PCSCD_SOCKET)
    pcscd_pid, pcscd_ours = ensure_pcscd(p, timeout)
    readers = check_readers(pcscd_ours, timeout)
    say("readers: %s" % ", ".join(readers))
    token_pid, status = ensure_token(p, fresh, timeout, pcscd_ours)
    waited = wait_card_present(timeout)
    say("pcscd reports the card present in %r (waited %.3f s)" % (READER, waited))
    env = {"workdir": p.dir, "reader": READER, "spare_reader": SPARE_READER,
           "vpcd_port": VPCD_PORT, "control_port": CONTROL_PORT, "atr": status["atr"],
           "pcscd_pid": pcscd_pid, "pcscd_started_here": pcscd_ours,
           "vtoken_pid": token_pid, "state_file": p.state}
    write_file(p.env, json.dumps(env, indent=1) + "\n")
    say("ready (%s)" % p.env)
    return env


def stop(workdir: str, timeout: float = 10.0) -> None:
    p = Paths(workdir)
    pid = read_pid(p.vtoken_pid)
    if pid is not None and alive(pid, "vtoken.py"):
        status = token_answers(CONTROL_PORT)
        if status is not None and status["pid"] == pid:
            try:
                with VtCtl(CONTROL_PORT, timeout=5.0) as vt:
                    vt.quit()
            except (OSError, ValueError, VtCtlError):
                pass
        if not wait_gone(pid, "vtoken.py", timeout) and not stop_process(pid, "vtoken.py", 2.0):
            raise EnvError("token pid %d does not exit" % pid)
        say("stopped the virtual token pid %d" % pid)
    elif pid is not None:
        say("the virtual token pid %d had already exited" % pid)
    else:
        say("no virtual token started by this workdir")
    for f in (p.vtoken_pid, p.vtoken_ready, p.env):
        remove_file(f)

    pid = read_pid(p.pcscd_pid)
    if pid is not None and alive(pid, "pcscd"):
        if not stop_process(pid, "pcscd", timeout):
            raise EnvError("pcscd pid %d does not exit" % pid)
        say("stopped pcscd pid %d" % pid)
    elif pid is not None:
        say("pcscd pid %d had already exited" % pid)
    else:
        say("pcscd was not started by this workdir: left as it is")
    remove_file(p.pcscd_pid)


def stop_pcscd(workdir: str, timeout: float = 10.0) -> None:
    """Stops the pcscd this DIR started (a test of the service going away);
    the token is left running. A pcscd that this DIR did not start is never
    touched: that is an error."""
    p = Paths(workdir)
    pid = read_pid(p.pcscd_pid)
    if pid is None or not alive(pid, "pcscd"):
        raise EnvError("no pcscd started by %s runs: only the harness's own pcscd is stopped" % p.dir)
    if not stop_process(pid, "pcscd", timeout):
        raise EnvError("pcscd pid %d does not exit" % pid)
    remove_file(p.pcscd_pid)
    deadline = time.monotonic() + timeout
    while pcscd_accepts():
        if time.monotonic() >= deadline:
            raise EnvError("something still accepts on %s after pcscd pid %d exited" % (PCSCD_SOCKET, pid))
        time.sleep(POLL)
    say("stopped pcscd pid %d (the token keeps running)" % pid)


@contextlib.contextmanager
def pcscd_stopped(workdir: str, timeout: float = 10.0):
    """pcscd stopped for the block; started again after it, also when the
    block fails, with the token back in its reader."""
    stop_pcscd(workdir, timeout)
    try:
        yield
    finally:
        start(workdir, timeout=timeout)


def status(workdir=None) -> int:
    p = Paths(workdir) if workdir else None
    pids = find_pcscd()
    ours = read_pid(p.pcscd_pid) if p else None
    accepting = pcscd_accepts()
    print("pcscd: %s%s%s" % ("pid %s" % ",".join(map(str, pids)) if pids else "not running",
                             ", accepting on %s" % PCSCD_SOCKET if accepting else "",
                             ", started by this workdir" if ours in pids else ""))
    if accepting:
        try:
            with pcsc.Context() as ctx:
                readers = ctx.readers()
                print("readers: %s" % (", ".join(readers) or "none"))
                if READER in readers:
                    state, atr = ctx.reader_state(READER)
                    print("%s: %s%s" % (READER, "card present" if state & pcsc.SCARD_STATE_PRESENT
                                         else "empty", ", ATR " + atr.hex() if atr else ""))
        except pcsc.PcscError as e:
            print("pcsc: %s" % e)
    st = token_answers(CONTROL_PORT)
    if st is None:
        print("token: nothing answers on control port %d" % CONTROL_PORT)
    else:
        print("token: pid %d, %s, %s, state %s" % (
            st["pid"], "connected to vpcd %s" % st["vpcd"] if st["connected"]
            else "not connected (inserted=%s)" % st["inserted"],
            "powered" if st["powered"] else "unpowered", st["state_file"]))
    return 0


def run(workdir: str, command, fresh: bool = False, timeout: float = 10.0) -> int:
    with card_lock():
        try:
            env = start(workdir, fresh, timeout)
            child_env = dict(os.environ, CARD_ENV_JSON=Paths(workdir).env,
                             SOLVANTA_READER=env["reader"],
                             VTOKEN_CONTROL_PORT=str(env["control_port"]))
            rc = subprocess.call(command, env=child_env)
        finally:
            stop(workdir, timeout)
    return rc


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description="pcscd + virtual token for tests")
    sub = ap.add_subparsers(dest="command", required=True)
    s = sub.add_parser("start")
    s.add_argument("--workdir", required=True)
    s.add_argument("--fresh", action="store_true", help="reset the card state to defaults")
    s.add_argument("--timeout", type=float, default=10.0)
    t = sub.add_parser("stop")
    t.add_argument("--workdir", required=True)
    t.add_argument("--timeout", type=float, default=10.0)
    q = sub.add_parser("stop-pcscd")
    q.add_argument("--workdir", required=True)
    q.add_argument("--timeout", type=float, default=10.0)
    u = sub.add_parser("status")
    u.add_argument("--workdir")
    r = sub.add_parser("run")
    r.add_argument("--workdir", required=True)
    r.add_argument("--fresh", action="store_true")
    r.add_argument("--timeout", type=float, default=10.0)
    r.add_argument("cmd", nargs=argparse.REMAINDER)
    a = ap.parse_args(argv)
    try:
        if a.command == "run":
            cmd = a.cmd[1:] if a.cmd[:1] == ["--"] else a.cmd
            if not cmd:
                ap.error("run needs a command after --")
            return run(a.workdir, cmd, a.fresh, a.timeout)
        if a.command == "start":
            start(a.workdir, a.fresh, a.timeout)
        elif a.command == "stop":
            stop(a.workdir, a.timeout)
        elif a.command == "stop-pcscd":
            stop_pcscd(a.workdir, a.timeout)
        else:
            return status(a.workdir)
    except (EnvError, pcsc.PcscError) as e:
        say("FAILED: %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
