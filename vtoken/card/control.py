"""Side channel for tests: JSON lines over TCP.

Each request is one JSON object on one line, with the command in "cmd";
each reply is one JSON object on one line: {"ok": true, ...} or
{"ok": false, "error": "..."}.  A connection may carry any number of requests.
CARD_CONTRACT.md lists the commands and their fields.
"""

import json
import os
import socketserver
import threading
from typing import Any, Callable, Dict

from . import access, faults, session_keys
from .families import files as files_family
from .sm import REPLY_FAULTS
from .state import STATE_VERSION, defaults

MAX_LINE = 1 << 20
DEFAULT_SERIAL = "SV00000000000001"


class RequestError(Exception):
    pass


def _hex(value: Any, what: str) -> bytes:
    if not isinstance(value, str):
        raise RequestError("%s must be a hex string" % what)
    try:
        return bytes.fromhex(value)
    except ValueError:
        raise RequestError("%s is not valid hex: %r" % (what, value)) from None


def _number(req: Dict[str, Any], key: str, default: float, lo: float = 0.0) -> float:
    value = req.get(key, default)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or value < lo:
        raise RequestError("%s must be a number >= %s" % (key, lo))
    return float(value)


def _int_range(value: Any, key: str, lo: int, hi: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not lo <= value <= hi:
        raise RequestError("%s must be an integer in %d..%d" % (key, lo, hi))
    return value


def _int_or_hex(value: Any, key: str, hi: int) -> int:
    """An integer, or a hex string such as "6a82"."""
    if isinstance(value, str):
        try:
            value = int(value, 16)
        except ValueError:
            raise RequestError("%s is not valid hex: %r" % (key, value)) from None
    return _int_range(value, key, 0, hi)


def _path(req: Dict[str, Any]) -> list:
    path = req.get("path")
    if isinstance(path, str):
        path = [p for p in path.split("/") if p]
    if not isinstance(path, list) or not path or not all(isinstance(p, str) for p in path):
        raise RequestError("path must be \"3f00/2000/...\" or a list of ids and names")
    return path


class Commands:
    """The side-channel commands; each takes the request and returns reply fields."""

    def __init__(self, token):
        self.token = token
        self.card = token.card
        self.link = token.link
        self.quit_requested = False
        self._bounce_timer = None        # a pending reinsertion of "bounce"

    def status(self) -> Dict[str, Any]:
        s: Dict[str, Any] = {"pid": os.getpid(), "control_port": self.token.control_port,
                             "state_file": self.card.state.path}
        s.update(self.link.describe())
        s.update(self.card.describe())
        s["ready"] = s["connected"] and s["atr_served"] > 0
        return s

    # predicates for waiting on card events (evaluated under card.cond)
    def _ready(self) -> bool:
        return self.link.connected and self.card.atr_count > 0

    UNTIL = {
        "connected": lambda self: self.link.connected,
        "removed": lambda self: not self.link.connected,
        "ready": lambda self: self._ready(),
        "powered": lambda self: self.link.connected and self.card.powered,
        "unpowered": lambda self: not self.card.powered,
    }

    def cmd_ping(self, req):
        return {"pong": True, "pid": os.getpid()}

    def cmd_status(self, req):
        return self.status()

    def _cancel_bounce(self) -> None:
        if self._bounce_timer is not None:
            self._bounce_timer.cancel()
            self._bounce_timer = None

    def cmd_insert(self, req):
        timeout = _number(req, "timeout", 10.0)
        self._cancel_bounce()
        if not self.link.insert(timeout):
            raise RequestError("no connection to vpcd at %s:%d within %.1f s (%s)"
                               % (self.link.host, self.link.port, timeout,
                                  self.link.last_error))
        if req.get("wait_ready") and not self.link.wait(self._ready, timeout):
            raise RequestError("connected, but the reader did not ask for the ATR "
                               "within %.1f s" % timeout)
        return self.status()

    def cmd_remove(self, req):
        timeout = _number(req, "timeout", 10.0)
        self._cancel_bounce()
        if not self.link.remove(timeout):
            raise RequestError("connection to vpcd not closed within %.1f s" % timeout)
        return self.status()

    def cmd_bounce(self, req):
        if "ms" not in req:
            raise RequestError("bounce needs ms")
        ms = _number(req, "ms", 0.0)
        timeout = _number(req, "timeout", 10.0)
        self._cancel_bounce()
        if not self.link.remove(timeout):
            raise RequestError("connection to vpcd not closed within %.1f s" % timeout)
        done = threading.Event()
        result: Dict[str, bool] = {}

        def reinsert():
            result["ok"] = self.link.insert(timeout)
            done.set()

        timer = threading.Timer(ms / 1000.0, reinsert)
        timer.daemon = True
        self._bounce_timer = timer
        timer.start()
        if req.get("wait"):
            done.wait(ms / 1000.0 + timeout + 1.0)
            if not result.get("ok"):
                raise RequestError("not reinserted within %.1f s" % timeout)
        return self.status()

    def cmd_wait(self, req):
        until = req.get("until", "ready")
        pred = self.UNTIL.get(until)
        if pred is None:
            raise RequestError("until must be one of %s" % ", ".join(sorted(self.UNTIL)))
        timeout = _number(req, "timeout", 10.0)
        if not self.link.wait(lambda: pred(self), timeout):
            raise RequestError("not %s within %.1f s" % (until, timeout))
        return self.status()

    def cmd_override(self, req):
        replies = req.get("replies")
        if not isinstance(replies, list):
            raise RequestError("override needs replies: a list of hex strings")
        raw = [_hex(r, "reply %d" % i) for i, r in enumerate(replies)]
        pending = self.card.push_overrides(raw, append=bool(req.get("append", True)))
        return {"pending": pending}

    def cmd_pull_after(self, req):
        if req.get("clear"):
            self.card.pull_after(None)
            return {"pull_after": None}
        apdus = _int_range(req.get("apdus"), "apdus", 1, 1 << 20)
        execute = req.get("execute", True)
        if not isinstance(execute, bool):
            raise RequestError("execute must be true or false")
        self.card.pull_after(apdus, execute)
        return {"pull_after": apdus, "execute": execute}

    def cmd_log(self, req):
        snap = self.card.log.snapshot()
        if req.get("clear"):
            self.card.log.clear()
        return snap

    def cmd_clear_log(self, req):
        self.card.log.clear()
        return {}

    def cmd_dump(self, req):
        with self.card.lock:
            return {"state": self.card.state.snapshot(),
                    "volatile": self.card.volatile.describe(),
                    "hooks": dict(self.card.hooks)}

    def cmd_reset_state(self, req):
        with self.card.lock:
            self.card.state.reset()
            self.card.hooks.clear()
            self.card.push_overrides([], append=False)
            self.card.pull_after(None)
            self.card.reset_volatile()
            return {"state": self.card.state.snapshot()}

    # -- session keys and files behind the host's back ------------------------

    def cmd_session_slot(self, req):
        slot = _int_range(req.get("slot"), "slot", 0, 255)
        with self.card.lock:
            key = session_keys.store(self.card).keys.get(slot)
            return {"slot": slot, "type": key.type if key else None,
                    "key": key.key.hex() if key else None}

    def _file(self, req, kind="ef"):
        files = files_family.Files(self.card)
        path = files.resolve(_path(req))
        if path is None:
            raise RequestError("no file %s" % req.get("path"))
        if kind is not None and files.fs[path]["kind"] != kind:
            raise RequestError("%s is not an %s" % (req.get("path"), kind.upper()))
        return files, path, files.fs[path]

    def _span(self, req, f, default_length):
        if "data" not in f:
            raise RequestError("not a transparent file")
        size = len(bytes.fromhex(f["data"]))
        offset = _int_range(req.get("offset", 0), "offset", 0, size)
        length = _int_range(req.get("length", default_length(size - offset)), "length", 0, size - offset)
        return offset, length

    def cmd_file_read(self, req):
        with self.card.lock:
            files, path, f = self._file(req)
            offset, length = self._span(req, f, lambda rest: rest)
            content = bytes.fromhex(f["data"])
            return {"path": path, "id": "%04x" % f["id"], "name": bytes.fromhex(f["name"]).decode("latin-1"),
                    "size": f["size"], "access": f["access"], "type": f["type"],
                    "data": content[offset:offset + length].hex()}

    def _rewrite(self, req, change):
        with self.card.lock:
            files, path, f = self._file(req)
            content = bytearray.fromhex(f.get("data", ""))
            offset = _int_range(req.get("offset", 0), "offset", 0, len(content))
            new = change(bytes(content[offset:]))
            if len(new) > len(content) - offset:
                raise RequestError("%d bytes at %d pass the end of %s (%d bytes)"
                                   % (len(new), offset, path, len(content)))
            content[offset:offset + len(new)] = new
            f["data"] = content.hex()
            files.save()
            return {"path": path, "size": len(content)}

    def cmd_file_write(self, req):
        data = _hex(req.get("data"), "data")
        return self._rewrite(req, lambda tail: data)

    def cmd_file_corrupt(self, req):
        mask = _hex(req.get("xor", "ff"), "xor")
        if not mask:
            raise RequestError("xor must not be empty")
        return self._rewrite(req, lambda tail: bytes(a ^ b for a, b in zip(tail, mask)) + mask[len(tail):])

    def cmd_file_delete(self, req):
        with self.card.lock:
            files, path, f = self._file(req, kind=None)
            if path == "3f00":
                raise RequestError("the MF stays")
            files.delete(path, checked=False)
            return {"path": path}

    def cmd_fail_next(self, req):
        with self.card.lock:
            if req.get("clear"):
                self.card.hooks.pop(faults.HOOK, None)
                return {"plans": []}
            plan = {"ins": _int_or_hex(req.get("ins"), "ins", 0xFF),
                    "sw": _int_or_hex(req.get("sw"), "sw", 0xFFFF),
                    "count": _int_range(req.get("count", 1), "count", 1, 1 << 20),
                    "name": None}
            name = req.get("name")
            if name is not None:
                if not isinstance(name, str) or not name:
                    raise RequestError("name must be a non-empty string")
                plan["name"] = name.encode("latin-1").hex()
            plans = self.card.hooks.setdefault(faults.HOOK, [])
            plans.append(plan)
            return {"plans": list(plans)}

    def cmd_load_state(self, req):
        state = req.get("state")
        if not isinstance(state, dict) or state.get("version") != STATE_VERSION:
            raise RequestError("state must be an object of version %d (as dump gives it)" % STATE_VERSION)
        unknown = set(state) - set(defaults())
        if unknown:
            raise RequestError("unknown state keys: %s" % ", ".join(sorted(unknown)))
        with self.card.lock:
            values = defaults()
            values.update(state)
            self.card.state.reset()
            self.card.state.update(**{k: v for k, v in values.items() if k != "version"})
            self.card.reset_volatile()
            return {"state": self.card.state.snapshot()}

    def cmd_preset(self, req):
        name = req.get("name")
        if name != "factory":
            raise RequestError("preset name must be \"factory\"")
        serial = req.get("serial", DEFAULT_SERIAL)
        if not isinstance(serial, str) or not 1 <= len(serial.encode("latin-1")) <= 16:
            raise RequestError("serial must be 1 to 16 characters")
        with self.card.lock:
            self.cmd_reset_state({})
            info = files_family.card_info(b"Solvanta", b"Solvanta Token", b"", serial.encode("latin-1"))
            files_family.set_card_info(self.card, info)
            return {"state": self.card.state.snapshot()}

    # Keys of "set": persistent card values and test hooks.
    def _set_fs_free_space(self, v):
        return ("state", _int_range(v, "fs_free_space", 0, 0xFFFFFFFF))

    def _set_chip_id(self, v):
        return ("state", _hex(v, "chip_id").hex())

    def _set_working_mode(self, v):
        return ("state", _int_range(v, "working_mode", 0, 0xFF))

    def _set_health_status(self, v):
        return ("hook", None if v is None else _hex(v, "health_status").hex())

    def _set_self_test_fail(self, v):
        if not isinstance(v, bool):
            raise RequestError("self_test_fail must be true or false")
        return ("hook", v)

    def _set_sm_reply_fault(self, v):
        if v is not None and v not in REPLY_FAULTS:
            raise RequestError("sm_reply_fault must be null or one of %s" % ", ".join(REPLY_FAULTS))
        return ("hook", v)

    def _set_sm_reply_fault_next(self, v):
        return self._set_sm_reply_fault(v)

    def _set_access_mode(self, v):
        if v not in access.MODES:
            raise RequestError("access_mode must be one of %s" % ", ".join(access.MODES))
        return ("hook", None if v == "off" else v)

    def _set_short_read(self, v):
        return ("hook", None if v is None else _int_range(v, "short_read", 0, 65535))

    def _set_format_any_marker(self, v):
        if not isinstance(v, bool):
            raise RequestError("format_any_marker must be true or false")
        return ("hook", v)

    def _set_saved_slot_max(self, v):
        return ("state", _int_range(v, "saved_slot_max", 2, 255))

    def _set_admin_key(self, v):
        if v is None:
            return ("state", None)
        key = _hex(v, "admin_key")
        if not 1 <= len(key) <= 32:
            raise RequestError("admin_key must be 1 to 32 bytes")
        return ("state", key.hex())

    def _set_version_info(self, v):
        return ("state", _hex(v, "version_info").hex())

    SETTABLE = {"fs_free_space": _set_fs_free_space, "chip_id": _set_chip_id,
                "working_mode": _set_working_mode, "health_status": _set_health_status,
                "self_test_fail": _set_self_test_fail, "sm_reply_fault": _set_sm_reply_fault,
                "sm_reply_fault_next": _set_sm_reply_fault_next, "access_mode": _set_access_mode,
                "short_read": _set_short_read, "format_any_marker": _set_format_any_marker,
                "saved_slot_max": _set_saved_slot_max, "admin_key": _set_admin_key,
                "version_info": _set_version_info}

    def cmd_set(self, req):
        changes = {k: v for k, v in req.items() if k not in ("cmd", "id")}
        if not changes:
            raise RequestError("set needs at least one of %s" % ", ".join(sorted(self.SETTABLE)))
        parsed = {}
        for key, value in changes.items():
            setter = self.SETTABLE.get(key)
            if setter is None:
                raise RequestError("cannot set %r; settable: %s"
                                   % (key, ", ".join(sorted(self.SETTABLE))))
            parsed[key] = setter(self, value)
        with self.card.lock:
            state_changes = {k: v for k, (kind, v) in parsed.items() if kind == "state"}
            if state_changes:
                self.card.state.update(**state_changes)
            for k, (kind, v) in parsed.items():
                if kind == "hook":
                    if v is None or v is False:
                        self.card.hooks.pop(k, None)
                    else:
                        self.card.hooks[k] = v
            return {"state": self.card.state.snapshot(), "hooks": dict(self.card.hooks)}

    def cmd_quit(self, req):
        # The token stops once this reply has been written (see _Handler).
        self.quit_requested = True
        return {}

    def handle(self, line: bytes) -> Dict[str, Any]:
        try:
            req = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            return {"ok": False, "error": "bad request: %s" % e}
        if not isinstance(req, dict) or not isinstance(req.get("cmd"), str):
            return {"ok": False, "error": "request must be an object with a string cmd"}
        fn: Callable = getattr(self, "cmd_" + req["cmd"], None)
        if fn is None:
            return {"ok": False, "error": "unknown command %r" % req["cmd"]}
        try:
            reply = {"ok": True}
            reply.update(fn(req))
        except RequestError as e:
            reply = {"ok": False, "error": str(e)}
        except Exception as e:  # keep the side channel up whatever a command does
            reply = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
        if "id" in req:
            reply["id"] = req["id"]
        return reply


class _Handler(socketserver.StreamRequestHandler):
    def handle(self):
        commands: Commands = self.server.commands
        while True:
            line = self.rfile.readline(MAX_LINE)
            if not line:
                return
            if not line.strip():
                continue
            reply = commands.handle(line)
            self.wfile.write((json.dumps(reply) + "\n").encode("utf-8"))
            self.wfile.flush()
            if commands.quit_requested:
                commands.token.request_stop()
                return


class _Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


class ControlServer:
    def __init__(self, token, host: str = "127.0.0.1", port: int = 0):
        self._server = _Server((host, port), _Handler)
        self._server.commands = Commands(token)
        self.port = self._server.server_address[1]
        # serve_forever checks for shutdown() between polls of this interval.
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="control", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()
