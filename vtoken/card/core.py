"""The card: power handling, APDU processing, test overrides and the APDU log."""

import collections
import os
import threading
from typing import Any, Dict, List, Optional

from . import apdu as apdu_mod
from . import faults
from .apdu import SwError
from .dispatch import CLA_SM_BIT, SM_ALWAYS, SM_NEVER, CommandTable
from .drbg import HmacDrbg
from .families import build_table
from .sm import SmError
from .state import CardState

# Answer to reset: TS=3B (direct convention), T0=80 (TD1 follows, no historical
# bytes), TD1=01 (T=1, nothing follows), TCK=81 (XOR of T0..TD1).
# The card offers T=1 only.
DEFAULT_ATR = bytes.fromhex("3B800181")

DEFAULT_LOG_LIMIT = 10000

# vpcd control codes
CTRL_POWER_OFF = 0x00
CTRL_POWER_ON = 0x01
CTRL_RESET = 0x02
CTRL_GET_ATR = 0x04


class CardPulled(Exception):
    """The card is pulled out at this APDU: the reader link closes without
    sending a reply (see Card.pull_after)."""


def atr_checksum_ok(atr: bytes) -> bool:
    """XOR of T0 .. TCK is zero (the rule for an ATR that offers T=1)."""
    x = 0
    for b in atr[1:]:
        x ^= b
    return x == 0


class Volatile:
    """State that a reset, power cycle or removal clears."""

    def __init__(self) -> None:
        self.sm = None                   # secure-messaging channel, once opened
        self.drbg = HmacDrbg(os.urandom(32), os.urandom(16), b"vtoken")
        self.extra: Dict[str, Any] = {}  # per-family volatile data

    def describe(self) -> Dict[str, Any]:
        return {"sm_channel": self.sm is not None,
                "sm_keys": self.sm.describe() if self.sm is not None else None,
                "drbg_reseed_counter": self.drbg.reseed_counter,
                "families": sorted(self.extra),
                # Family state that can tell about itself (the session keys).
                "family_state": {name: value.describe() for name, value in sorted(self.extra.items())
                                 if hasattr(value, "describe")}}


class ApduLog:
    """Byte-exact record of what the card saw, bounded to `limit` entries each."""

    def __init__(self, limit: int = DEFAULT_LOG_LIMIT) -> None:
        self._lock = threading.Lock()
        self._seq = 0
        self._apdus: collections.deque = collections.deque(maxlen=limit)
        self._controls: collections.deque = collections.deque(maxlen=limit)
        self.dropped = 0

    def _next(self) -> int:
        self._seq += 1
        return self._seq

    def apdu(self, command: bytes, reply: bytes, override: bool,
             sm: Optional[Dict[str, str]] = None, pulled: Optional[str] = None) -> None:
        with self._lock:
            if len(self._apdus) == self._apdus.maxlen:
                self.dropped += 1
            entry = {"seq": self._next(), "command": command.hex(),
                     "reply": reply.hex(), "override": override}
            if sm is not None:
                entry["sm"] = sm
            if pulled is not None:
                entry["pulled"] = pulled
            self._apdus.append(entry)

    def control(self, code: int) -> None:
        with self._lock:
            self._controls.append({"seq": self._next(), "code": "%02x" % code})

    def event(self, what: str) -> None:
        with self._lock:
            self._controls.append({"seq": self._next(), "event": what})

    def snapshot(self) -> Dict[str, Any]:
        with self._lock:
            return {"entries": list(self._apdus), "controls": list(self._controls),
                    "dropped": self.dropped}

    def clear(self) -> None:
        with self._lock:
            self._apdus.clear()
            self._controls.clear()
            self.dropped = 0


class Card:
    def __init__(self, state: Optional[CardState] = None, atr: bytes = DEFAULT_ATR,
                 table: Optional[CommandTable] = None, log_limit: int = DEFAULT_LOG_LIMIT):
        self.lock = threading.RLock()
        # Notified on every power, insertion and removal event and by the reader
        # link; the side channel waits on it.
        self.cond = threading.Condition(self.lock)
        self.state = state if state is not None else CardState()
        self.atr = bytes(atr)
        self.table = table if table is not None else build_table()
        self.volatile = Volatile()
        self.powered = False
        self.hooks: Dict[str, Any] = {}   # test hooks, never persisted
        self.log = ApduLog(log_limit)
        self._overrides: collections.deque = collections.deque()
        self.apdu_count = 0
        self.atr_count = 0                # GET ATR requests since insertion
        self._pull = None                 # {"left": APDUs to the pull, "execute": bool}

    # -- power and presence ---------------------------------------------------

    def reset_volatile(self) -> None:
        with self.lock:
            self.volatile = Volatile()

    def control(self, code: int) -> Optional[bytes]:
        """Handle a vpcd control byte; returns the bytes to send back, if any."""
        reply = None
        with self.cond:
            self.log.control(code)
            if code == CTRL_POWER_OFF:
                self.powered = False
                self.reset_volatile()
            elif code in (CTRL_POWER_ON, CTRL_RESET):
                self.powered = True
                self.reset_volatile()
            elif code == CTRL_GET_ATR:
                self.atr_count += 1
                reply = self.atr
            self.cond.notify_all()
        return reply

    def inserted(self) -> None:
        """A new connection to the reader: the card starts unpowered and clean."""
        with self.cond:
            self.powered = False
            self.atr_count = 0
            self.reset_volatile()
            self.log.event("inserted")
            self.cond.notify_all()

    def removed(self) -> None:
        with self.cond:
            self.powered = False
            self.reset_volatile()
            self.log.event("removed")
            self.cond.notify_all()

    # -- test overrides -------------------------------------------------------

    def push_overrides(self, replies: List[bytes], append: bool = True) -> int:
        with self.lock:
            if not append:
                self._overrides.clear()
            self._overrides.extend(bytes(r) for r in replies)
            return len(self._overrides)

    def pending_overrides(self) -> int:
        with self.lock:
            return len(self._overrides)

    # -- pulled out at an APDU -------------------------------------------------

    def pull_after(self, apdus: Optional[int], execute: bool = True) -> None:
        """Pull the card out at the apdus-th APDU from now (1: the next one);
        None cancels.  With execute the card runs that APDU first (its
        effect stays on the card), without it the APDU never runs; either
        way its reply is never sent."""
        with self.lock:
            self._pull = None if apdus is None else {"left": apdus, "execute": bool(execute)}

    def pending_pull(self) -> Optional[Dict[str, Any]]:
        with self.lock:
            return None if self._pull is None else dict(self._pull)

    def _pull_now(self) -> Optional[bool]:
        """Counts an APDU against a pending pull; the pull's execute flag
        when this APDU is the one, else None."""
        if self._pull is None:
            return None
        self._pull["left"] -= 1
        if self._pull["left"] > 0:
            return None
        execute = self._pull["execute"]
        self._pull = None
        return execute

    # -- APDUs ----------------------------------------------------------------

    def process(self, raw: bytes) -> bytes:
        """One command APDU in, one response APDU out (data + SW1 SW2).
        Raises CardPulled when a pending pull takes this APDU."""
        raw = bytes(raw)
        with self.lock:
            self.apdu_count += 1
            pull = self._pull_now()
            if pull is False:
                self.log.apdu(raw, b"", False, pulled="before")
                raise CardPulled()
            override = bool(self._overrides)
            sm_info: Dict[str, str] = {}
            reply = self._overrides.popleft() if override else self._execute(raw, sm_info)
            self.log.apdu(raw, reply, override, sm_info or None, pulled="after" if pull else None)
            if pull:
                raise CardPulled()
            return reply

    def _execute(self, raw: bytes, sm_info: Dict[str, str]) -> bytes:
        """sm_info receives, for a wrapped command, its MAC, the plaintext
        of its data and of the reply data (the log keeps them)."""
        channel = None
        try:
            cmd_apdu = apdu_mod.parse(raw)
            self.table.card_class(cmd_apdu.cla)
            wrapped = bool(cmd_apdu.cla & CLA_SM_BIT)
            if wrapped and self.volatile.sm is None:
                raise SwError(apdu_mod.SW_SECURITY_NOT_SATISFIED, "no secure channel")
            # Once secure messaging exists, the channel unwraps cmd_apdu here and
            # wraps the reply data below.
            cmd = self.table.lookup(cmd_apdu)
            if wrapped and cmd.sm == SM_NEVER:
                raise SwError(apdu_mod.SW_SM_NOT_SUPPORTED, "%s is never wrapped" % cmd.name)
            if not wrapped and cmd.sm == SM_ALWAYS:
                raise SwError(apdu_mod.SW_SECURITY_NOT_SATISFIED, "%s must be wrapped" % cmd.name)
            if wrapped:
                channel = self.volatile.sm
                try:
                    cmd_apdu, tag, plain = channel.unwrap_command(cmd_apdu)
                except SmError as e:
                    sm_info["error"] = str(e)
                    raise SwError(e.sw, str(e)) from None
                sm_info.update(mac=tag.hex(), plain=plain.hex())
            cmd.check_form(cmd_apdu)
            faults.check(self, cmd_apdu)
            result = cmd.handler(self, cmd_apdu)
        except SwError as e:
            data, sw = b"", e.sw
        else:
            if isinstance(result, tuple):
                data, sw = result
            else:
                data, sw = (result or b""), apdu_mod.SW_OK
        if channel is not None:
            # The reply to a wrapped command: its data protected, the status
            # word in plain.  The channel used is the one the command came
            # under, even when the command opened a new one.
            sm_info["reply_plain"] = bytes(data).hex()
            fault = self.hooks.get("sm_reply_fault") or self.hooks.pop("sm_reply_fault_next", None)
            data = channel.wrap_reply(bytes(data), fault)
        return apdu_mod.response(data, sw)

    def describe(self) -> Dict[str, Any]:
        with self.lock:
            return {"powered": self.powered, "atr": self.atr.hex(),
                    "apdus": self.apdu_count, "atr_served": self.atr_count,
                    "pending_overrides": len(self._overrides),
                    "pull_after": None if self._pull is None else self._pull["left"]}
