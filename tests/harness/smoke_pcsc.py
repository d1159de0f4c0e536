#!/usr/bin/python3
"""End-to-end smoke test of pcsc-lite -> pcscd -> vpcd -> virtual token.

    smoke_pcsc.py [--reader NAME] [--count N] [--control-port N] [--no-hotplug]

Lists the readers, connects with T=1, checks a handful of status words, times
N short APDUs (median printed, never asserted), and, unless --no-hotplug, uses
the token's side channel to remove and reinsert the card and to override one
reply.  Exits 1 when any check fails.  Needs card_env.py start first.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "vtoken"))

import pcsc  # noqa: E402
from vtctl import VtCtl  # noqa: E402

READER = "Solvanta Token 00 00"


class Checks:
    def __init__(self):
        self.failures = 0

    def check(self, ok: bool, what: str, detail: str = "") -> bool:
        print("%s  %s%s" % ("ok  " if ok else "FAIL", what, (": " + detail) if detail else ""))
        if not ok:
            self.failures += 1
        return ok


def sw_of(reply: bytes) -> int:
    return (reply[-2] << 8) | reply[-1] if len(reply) >= 2 else -1


# (what, command APDU, expected SW, expected reply data length or None)
STATUS_CHECKS = [
    ("unknown INS", "80FF0000", 0x6D00, 0),
    ("unknown class", "10010000", 0x6E00, 0),
    ("malformed length (Lc 5, one data byte)", "800100000501", 0x6700, 0),
    ("GetFSMaxSpace", "8001000004", 0x9000, 4),
    ("GetChipID, extended Le", "80030000000000", 0x9000, 16),
    ("GetHealthStatus", "8005000008", 0x9000, 8),
    ("wrapped command without a secure channel", "8401000004", 0x6982, 0),
]


def run_status_checks(card, c: Checks, vt) -> None:
    for what, hexapdu, want_sw, want_len in STATUS_CHECKS:
        reply = card.transmit(bytes.fromhex(hexapdu))
        ok = sw_of(reply) == want_sw and len(reply) - 2 == want_len
        c.check(ok, "%s %s -> %04X" % (what, hexapdu, want_sw), reply.hex())
    if vt is not None:
        free = vt.dump()["state"]["fs_free_space"]
        reply = card.transmit(bytes.fromhex("8001000004"))
        c.check(reply[:4] == free.to_bytes(4, "big"),
                "GetFSMaxSpace matches the token's state (%d)" % free, reply.hex())


def measure(card, count: int) -> None:
    apdu = bytes.fromhex("8001000004")
    times = []
    for _ in range(count):
        t0 = time.perf_counter()
        card.transmit(apdu)
        times.append(time.perf_counter() - t0)
    times.sort()
    print("round trip of %s over %d transmits: median %.3f ms, p90 %.3f ms, max %.3f ms"
          % (apdu.hex(), count, statistics.median(times) * 1e3,
             times[int(len(times) * 0.9)] * 1e3, times[-1] * 1e3))


def hotplug(ctx, card, reader: str, vt: VtCtl, c: Checks):
    # Overrides reach the host byte for byte, even replies too short to be one.
    # (An empty reply is not tried here: vpcd then stalls until the card is removed.)
    vt.call("override", replies=["6a82", "90"], append=False)
    r1 = card.transmit(bytes.fromhex("8001000004"))
    c.check(r1 == bytes.fromhex("6a82"), "override replaces the next reply", r1.hex())
    r2 = card.transmit(bytes.fromhex("8001000004"))
    c.check(r2 == bytes.fromhex("90"), "a one-byte override reaches the host", r2.hex())
    entries = vt.log()["entries"][-2:]
    c.check([(e["command"], e["reply"], e["override"]) for e in entries]
            == [("8001000004", "6a82", True), ("8001000004", "90", True)],
            "log records both overridden exchanges byte for byte")
    r3 = card.transmit(bytes.fromhex("8001000004"))
    c.check(sw_of(r3) == 0x9000, "real replies again after the overrides", r3.hex())

    vt.remove()
    gone, t_gone = ctx.wait_for(reader, want_present=False, timeout=3.0)
    c.check(gone, "pcscd sees the removal", "%.3f s" % t_gone)
    try:
        card.transmit(bytes.fromhex("8001000004"))
        c.check(False, "transmit on the old handle fails after removal")
    except pcsc.PcscError as e:
        c.check(True, "transmit on the old handle fails after removal", str(e))
    card.disconnect()
    vt.insert()
    back, t_back = ctx.wait_for(reader, want_present=True, timeout=3.0)
    c.check(back, "pcscd sees the reinsertion", "%.3f s" % t_back)
    card = ctx.connect(reader)
    reply = card.transmit(bytes.fromhex("8001000004"))
    c.check(sw_of(reply) == 0x9000, "GetFSMaxSpace after reinsertion", reply.hex())
    return card


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    p.add_argument("--reader", default=READER)
    p.add_argument("--count", type=int, default=500)
    p.add_argument("--control-port", type=int, default=40470)
    p.add_argument("--no-hotplug", action="store_true")
    a = p.parse_args(argv)
    c = Checks()

    vt = None
    try:
        vt = VtCtl(a.control_port, timeout=15.0).connect()
    except OSError as e:
        print("info  no token side channel on port %d (%s)" % (a.control_port, e))
    if vt is not None:
        # Earlier tests may have left a secure channel or hooks on the card.
        vt.call("reset_state")

    with pcsc.Context() as ctx:
        readers = ctx.readers()
        print("readers: %s" % readers)
        if not c.check(a.reader in readers, "reader %r listed" % a.reader):
            return 1
        present, waited = ctx.wait_for(a.reader, want_present=True, timeout=3.0)
        if not c.check(present, "card present in %r" % a.reader, "%.3f s" % waited):
            return 1
        card = ctx.connect(a.reader, pcsc.SCARD_PROTOCOL_T1)
        c.check(card.protocol == pcsc.SCARD_PROTOCOL_T1, "T=1 negotiated")
        atr = card.atr()
        if vt is not None:
            want_atr = vt.status()["atr"]
            c.check(atr.hex() == want_atr, "ATR is the token's", atr.hex())
        else:
            print("info  ATR %s" % atr.hex())
        run_status_checks(card, c, vt)
        measure(card, a.count)
        if vt is not None and not a.no_hotplug:
            card = hotplug(ctx, card, a.reader, vt, c)
        card.disconnect()
    if vt is not None:
        vt.close()
    print("%d check(s) failed" % c.failures if c.failures else "all checks passed")
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
