#!/usr/bin/python3
"""A second virtual token, for tests that need two tokens at once.

    second_token.py start --workdir DIR [--timeout 10]
    second_token.py stop  --workdir DIR [--timeout 10]

`start` runs vtoken.py on the spare reader's vpcd port (40466, "Solvanta
Token 00 01") with its own side channel on port 40471 and a fresh state in
DIR, and leaves it *removed*: the spare reader stays empty, as every other
test expects, until a test inserts the card over port 40471 (and removes it
again when done). `stop` ends only the token this DIR started. Needs the
card environment (card_env.py start). Exit status 0, or 1 with a reason.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import card_env  # noqa: E402
from vtctl import VtCtl  # noqa: E402

VPCD_PORT = card_env.VPCD_PORT + 1
CONTROL_PORT = card_env.CONTROL_PORT + 1


def paths(workdir: str):
    return (os.path.join(workdir, "second-token.pid"), os.path.join(workdir, "second-token.log"),
            os.path.join(workdir, "second-token-state.json"), os.path.join(workdir, "second-token.ready"))


def start(workdir: str, timeout: float) -> None:
    os.makedirs(workdir, exist_ok=True)
    pid_file, log, state, ready = paths(workdir)
    pid = card_env.read_pid(pid_file)
    if pid is not None and card_env.alive(pid, "vtoken.py"):
        with VtCtl(CONTROL_PORT, timeout=5.0) as vt:
            vt.call("reset_state")
            vt.call("remove")
        return
    if card_env.token_answers(CONTROL_PORT) is not None:
        raise card_env.EnvError("a token not started by %s already serves port %d" % (workdir, CONTROL_PORT))
    card_env.remove_file(ready)
    cmd = [card_env.PYTHON, card_env.VTOKEN, "--port", str(VPCD_PORT), "--control-port", str(CONTROL_PORT),
           "--state", state, "--fresh", "--removed", "--ready-file", ready]
    pid = card_env.spawn(cmd, log)
    card_env.write_file(pid_file, "%d\n" % pid)
    deadline = time.monotonic() + timeout
    while not os.path.exists(ready):
        if card_env.exit_status(pid) is not None:
            card_env.remove_file(pid_file)
            raise card_env.EnvError("the second token exited; its log %s ends:\n%s" % (log, card_env.tail(log)))
        if time.monotonic() >= deadline:
            raise card_env.EnvError("the second token did not come up within %.0f s" % timeout)
        time.sleep(card_env.POLL)


def stop(workdir: str, timeout: float) -> None:
    pid_file, _, _, _ = paths(workdir)
    pid = card_env.read_pid(pid_file)
    if pid is not None and not card_env.stop_process(pid, "vtoken.py", timeout):
        raise card_env.EnvError("the second token pid %d does not end" % pid)
    card_env.remove_file(pid_file)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=("start", "stop"))
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--timeout", type=float, default=10.0)
    args = parser.parse_args(argv)
    try:
        (start if args.action == "start" else stop)(args.workdir, args.timeout)
    except card_env.EnvError as e:
        print("second_token: FAILED: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
