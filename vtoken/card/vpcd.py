"""The card's side of the vpcd protocol.

vpcd (the virtual reader driver inside pcscd) listens on a TCP port; the card
connects to it as a client.  The card counts as inserted while the connection
is up and as removed when it goes down.  Every message in both directions is a
2-byte big-endian length followed by the payload:

    1-byte payload   control: 00 power off, 01 power on, 02 reset, 04 get ATR
                     (only 04 is answered, with the ATR)
    longer payload   a command APDU, answered with the response APDU

vpcd writes the length and the payload as two TCP segments, so the card sets
TCP_QUICKACK again before every recv(); otherwise the second segment waits for
the peer's delayed ACK (about 40 ms per APDU).
"""

import socket
import threading
from typing import Optional

from .core import CardPulled

BACKOFF_MIN = 0.02
BACKOFF_MAX = 0.5


def _quickack(sock: socket.socket) -> None:
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
    except (AttributeError, OSError):
        pass


def recv_exact(sock: socket.socket, n: int) -> Optional[bytes]:
    """n bytes, or None when the peer closed the connection first."""
    buf = bytearray()
    while len(buf) < n:
        _quickack(sock)
        chunk = sock.recv(n - len(buf))
        if not chunk:
            return None
        buf += chunk
    return bytes(buf)


def frame(payload: bytes) -> bytes:
    if len(payload) > 0xFFFF:
        raise ValueError("vpcd message too long: %d bytes" % len(payload))
    return len(payload).to_bytes(2, "big") + payload


class VpcdLink:
    """Keeps the card connected to vpcd while it is meant to be inserted.

    A background thread connects (retrying with a short backoff while vpcd is
    not there), serves messages until the connection drops or the card is
    removed, and reconnects as long as the card should be inserted.
    """

    def __init__(self, card, host: str = "127.0.0.1", port: int = 0x9E11,
                 inserted: bool = True):
        self.card = card
        self.cond = card.cond            # one condition for all card events
        self.host = host
        self.port = port
        self.want_inserted = inserted
        self.connected = False
        self.connections = 0             # successful connects so far
        self._connecting = False         # a connect() is under way
        self.last_error: Optional[str] = None
        self._sock: Optional[socket.socket] = None
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name="vpcd-link", daemon=True)

    # -- control --------------------------------------------------------------

    def start(self) -> None:
        self._thread.start()

    def stop(self, timeout: float = 5.0) -> None:
        with self.cond:
            self._stopping = True
            self.want_inserted = False
            self._shutdown_socket()
            self.cond.notify_all()
        if self._thread.is_alive():
            self._thread.join(timeout)

    def insert(self, timeout: float = 10.0) -> bool:
        """Ask for insertion; True once connected to vpcd within timeout."""
        with self.cond:
            self.want_inserted = True
            self.cond.notify_all()
            return self.cond.wait_for(lambda: self.connected or self._stopping, timeout) \
                and self.connected

    def remove(self, timeout: float = 10.0) -> bool:
        """Disconnect and stay out; True once the connection is closed."""
        with self.cond:
            self.want_inserted = False
            self._shutdown_socket()
            self.cond.notify_all()
            return self.cond.wait_for(lambda: not self.connected and not self._connecting,
                                      timeout)

    def wait(self, predicate, timeout: float) -> bool:
        with self.cond:
            return self.cond.wait_for(predicate, timeout)

    def describe(self):
        with self.cond:
            return {"inserted": self.want_inserted, "connected": self.connected,
                    "connections": self.connections,
                    "vpcd": "%s:%d" % (self.host, self.port),
                    "last_error": self.last_error}

    def _shutdown_socket(self) -> None:
        if self._sock is not None:
            try:
                self._sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    # -- the link thread -----------------------------------------------------

    def _run(self) -> None:
        backoff = BACKOFF_MIN
        while True:
            with self.cond:
                self.cond.wait_for(lambda: self.want_inserted or self._stopping)
                if self._stopping:
                    return
                self._connecting = True
            try:
                sock = socket.create_connection((self.host, self.port), timeout=2.0)
            except OSError as e:
                with self.cond:
                    self._connecting = False
                    self.last_error = "connect: %s" % e
                    self.cond.notify_all()
                    # Interruptible backoff: remove/stop wake it up early.
                    self.cond.wait_for(lambda: self._stopping or not self.want_inserted,
                                       backoff)
                backoff = min(backoff * 2, BACKOFF_MAX)
                continue
            backoff = BACKOFF_MIN
            sock.settimeout(None)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.cond:
                self._connecting = False
                if self._stopping or not self.want_inserted:
                    sock.close()
                    self.cond.notify_all()
                    continue
                self._sock = sock
                self.connected = True
                self.connections += 1
                self.last_error = None
                self.card.inserted()    # notifies the condition
            try:
                self._serve(sock)
            except OSError as e:
                with self.cond:
                    self.last_error = "link: %s" % e
                    self.cond.notify_all()
            finally:
                with self.cond:
                    self._sock = None
                    sock.close()
                    self.connected = False
                    self.card.removed()
                    self.cond.notify_all()
            if self.want_inserted and not self._stopping:
                # vpcd went away by itself: give it a moment before reconnecting.
                with self.cond:
                    self.cond.wait_for(lambda: self._stopping or not self.want_inserted,
                                       BACKOFF_MIN)

    def _serve(self, sock: socket.socket) -> None:
        while True:
            header = recv_exact(sock, 2)
            if header is None:
                return
            n = int.from_bytes(header, "big")
            payload = recv_exact(sock, n) if n else b""
            if payload is None:
                return
            if n == 0:
                continue
            if n == 1:
                reply = self.card.control(payload[0])
            else:
                try:
                    reply = self.card.process(payload)
                except CardPulled:
                    # Out of the reader without a reply; it stays out
                    # until "insert".
                    with self.cond:
                        self.want_inserted = False
                        self.cond.notify_all()
                    return
            if reply is not None:
                sock.sendall(frame(reply))

