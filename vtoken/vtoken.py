#!/usr/bin/python3
"""Virtual token: a software card for the vpcd virtual reader of pcscd.

    vtoken.py [--host H] [--port P] [--control-host H] [--control-port N]
              [--state FILE] [--fresh] [--atr HEX] [--removed]
              [--ready-file FILE] [--log-limit N]

The card connects to vpcd at H:P (default 127.0.0.1:40465) and serves the
side channel for tests on 127.0.0.1:N (default 40470; 0 picks a free port,
reported in the ready file).  See CARD_CONTRACT.md.
"""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from card.app import Token  # noqa: E402
from card.core import DEFAULT_ATR, DEFAULT_LOG_LIMIT, atr_checksum_ok  # noqa: E402
from card.state import StateError  # noqa: E402

DEFAULT_VPCD_PORT = 0x9E11      # 40465
DEFAULT_CONTROL_PORT = 40470


def parse_args(argv=None):
    p = argparse.ArgumentParser(description="virtual token for vpcd")
    p.add_argument("--host", default="127.0.0.1", help="vpcd address (default %(default)s)")
    p.add_argument("--port", type=int, default=DEFAULT_VPCD_PORT,
                   help="vpcd port (default %(default)s)")
    p.add_argument("--control-host", default="127.0.0.1",
                   help="side-channel address (default %(default)s)")
    p.add_argument("--control-port", type=int, default=DEFAULT_CONTROL_PORT,
                   help="side-channel port, 0 for any free port (default %(default)s)")
    p.add_argument("--state", help="JSON file holding the card's non-volatile state")
    p.add_argument("--fresh", action="store_true",
                   help="start from the default card state, discarding the state file")
    p.add_argument("--atr", default=DEFAULT_ATR.hex(), help="ATR as hex (default %(default)s)")
    p.add_argument("--removed", action="store_true",
                   help="start with the card removed (insert it over the side channel)")
    p.add_argument("--ready-file",
                   help="write {pid, control_port, vpcd_port} here once the side channel listens")
    p.add_argument("--log-limit", type=int, default=DEFAULT_LOG_LIMIT,
                   help="APDU log entries kept (default %(default)s)")
    args = p.parse_args(argv)
    try:
        args.atr = bytes.fromhex(args.atr)
    except ValueError:
        p.error("--atr is not hex")
    if not 2 <= len(args.atr) <= 33:
        p.error("--atr must be 2 to 33 bytes")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if not atr_checksum_ok(args.atr):
        print("vtoken: warning: ATR %s has no valid TCK" % args.atr.hex(), file=sys.stderr)
    try:
        token = Token(vpcd_host=args.host, vpcd_port=args.port,
                      control_host=args.control_host, control_port=args.control_port,
                      state_path=args.state, fresh=args.fresh, atr=args.atr,
                      inserted=not args.removed, log_limit=args.log_limit)
    except StateError as e:
        print("vtoken: %s" % e, file=sys.stderr)
        return 2
    except OSError as e:
        print("vtoken: cannot listen on %s:%d: %s"
              % (args.control_host, args.control_port, e), file=sys.stderr)
        return 2

    def on_signal(signum, frame):
        token.request_stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    token.start()
    if args.ready_file:
        token.write_ready_file(args.ready_file)
    print("vtoken: pid %d, vpcd %s:%d, control %s:%d, state %s"
          % (os.getpid(), args.host, args.port, args.control_host, token.control_port,
             args.state or "(memory)"), flush=True)
    while not token.wait(1.0):
        pass
    token.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
