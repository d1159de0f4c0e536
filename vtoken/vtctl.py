#!/usr/bin/python3
"""Client of the virtual token's side channel (JSON lines over TCP).

As a module:
    from vtctl import VtCtl
    with VtCtl(40470) as vt:
        vt.remove(); vt.insert(wait_ready=True)
        vt.override(["6a82"]); vt.log()

As a command:
    vtctl.py [--host H] [--control-port N] [--timeout S] COMMAND [ARGS]

    ping | status | dump | log | clear_log | reset_state | quit
    insert [--wait-ready] | remove | bounce MS [--wait]
    wait [ready|connected|removed|powered|unpowered]
    override HEX...            (use "" for an empty reply)
    set KEY=VALUE...           (VALUE is JSON, or else a string; chip_id and
                               health_status are always hex strings, or null)
    raw JSON                   (send one request object as it is)

Prints the reply as JSON; exits 1 when the reply has ok=false, 2 when the
token cannot be reached.
"""

import argparse
import json
import socket
import sys
from typing import Any, Dict, List, Optional

DEFAULT_CONTROL_PORT = 40470


class VtCtlError(Exception):
    """The token answered ok=false."""

    def __init__(self, reply: Dict[str, Any]):
        super().__init__(reply.get("error", "request failed"))
        self.reply = reply


class VtCtl:
    def __init__(self, port: int = DEFAULT_CONTROL_PORT, host: str = "127.0.0.1",
                 timeout: float = 30.0):
        self.host, self.port, self.timeout = host, port, timeout
        self._sock: Optional[socket.socket] = None
        self._rfile = None

    def connect(self) -> "VtCtl":
        if self._sock is None:
            self._sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
            self._rfile = self._sock.makefile("rb")
        return self

    def close(self) -> None:
        if self._sock is not None:
            self._rfile.close()
            self._sock.close()
            self._sock = self._rfile = None

    def __enter__(self):
        return self.connect()

    def __exit__(self, *exc):
        self.close()

    def request(self, cmd: str, **fields) -> Dict[str, Any]:
        """Send one request; returns the reply whatever its ok field."""
        self.connect()
        req = {"cmd": cmd}
        req.update(fields)
        self._sock.sendall((json.dumps(req) + "\n").encode("utf-8"))
        line = self._rfile.readline()
        if not line:
            self.close()
            raise ConnectionError("token closed the side channel")
        return json.loads(line.decode("utf-8"))

    def call(self, cmd: str, **fields) -> Dict[str, Any]:
        """Send one request; raises VtCtlError unless the reply has ok=true."""
        reply = self.request(cmd, **fields)
        if not reply.get("ok"):
            raise VtCtlError(reply)
        return reply

    # convenience wrappers
    def ping(self):
        return self.call("ping")

    def status(self):
        return self.call("status")

    def insert(self, wait_ready: bool = False, timeout: float = 10.0):
        return self.call("insert", wait_ready=wait_ready, timeout=timeout)

    def remove(self, timeout: float = 10.0):
        return self.call("remove", timeout=timeout)

    def bounce(self, ms: float, wait: bool = False, timeout: float = 10.0):
        return self.call("bounce", ms=ms, wait=wait, timeout=timeout)

    def wait(self, until: str = "ready", timeout: float = 10.0):
        return self.call("wait", until=until, timeout=timeout)

    def override(self, replies: List[str], append: bool = True):
        return self.call("override", replies=list(replies), append=append)

    def pull_after(self, apdus: Optional[int], execute: bool = True):
        """Pull the card at the apdus-th APDU from now; None cancels."""
        if apdus is None:
            return self.call("pull_after", clear=True)
        return self.call("pull_after", apdus=apdus, execute=execute)

    def log(self, clear: bool = False):
        return self.call("log", clear=clear)

    def clear_log(self):
        return self.call("clear_log")

    def dump(self):
        return self.call("dump")

    def reset_state(self):
        return self.call("reset_state")

    def set(self, **values):
        return self.call("set", **values)

    def quit(self):
        reply = self.call("quit")
        self.close()
        return reply


# Keys of "set" whose values are hex strings, never numbers.
HEX_KEYS = {"chip_id", "health_status", "admin_key", "version_info"}


def _value(key: str, text: str) -> Any:
    if key in HEX_KEYS and text != "null":
        return text
    try:
        return json.loads(text)
    except ValueError:
        return text


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description="virtual token side channel")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--control-port", type=int, default=DEFAULT_CONTROL_PORT)
    p.add_argument("--timeout", type=float, default=30.0)
    p.add_argument("command")
    p.add_argument("args", nargs="*")
    p.add_argument("--wait-ready", action="store_true", help="insert: wait for the ATR request")
    p.add_argument("--wait", action="store_true", help="bounce: return after reinsertion")
    p.add_argument("--no-execute", action="store_true",
                   help="pull_after: the card goes before it runs the N-th APDU")
    a = p.parse_args(argv)

    cmd, args = a.command, a.args
    if cmd == "raw":
        if len(args) != 1:
            p.error("raw takes one JSON object")
        fields = json.loads(args[0])
        cmd = fields.pop("cmd", None)
        if not cmd:
            p.error("raw request needs cmd")
    elif cmd == "insert":
        fields = {"wait_ready": a.wait_ready}
    elif cmd == "bounce":
        if len(args) != 1:
            p.error("bounce takes MS")
        fields = {"ms": float(args[0]), "wait": a.wait}
    elif cmd == "wait":
        fields = {"until": args[0]} if args else {}
    elif cmd == "pull_after":
        if len(args) != 1:
            p.error("pull_after takes N (or clear)")
        fields = {"clear": True} if args[0] == "clear" else \
            {"apdus": int(args[0]), "execute": not a.no_execute}
    elif cmd == "override":
        fields = {"replies": args}
    elif cmd == "set":
        fields = {}
        for item in args:
            key, sep, value = item.partition("=")
            if not sep:
                p.error("set takes KEY=VALUE")
            fields[key] = _value(key, value)
    else:
        fields = {}
    try:
        with VtCtl(a.control_port, a.host, a.timeout) as vt:
            reply = vt.request(cmd, **fields)
    except (OSError, ValueError) as e:
        print("vtctl: cannot talk to the token at %s:%d: %s" % (a.host, a.control_port, e),
              file=sys.stderr)
        return 2
    print(json.dumps(reply, indent=1, sort_keys=True))
    return 0 if reply.get("ok") else 1


if __name__ == "__main__":
    sys.exit(main())
