"""Shared helpers of the token's unit tests: import path, a fake vpcd, token runners."""

import json
import os
import socket
import subprocess
import sys
import tempfile
import time

VTOKEN_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if VTOKEN_DIR not in sys.path:
    sys.path.insert(0, VTOKEN_DIR)

from card.app import Token  # noqa: E402
from card.core import Card  # noqa: E402
from card.state import CardState  # noqa: E402

PYTHON = "/usr/bin/python3"
VTOKEN = os.path.join(VTOKEN_DIR, "vtoken.py")
VTCTL = os.path.join(VTOKEN_DIR, "vtctl.py")
TIMEOUT = 10.0


def apdu(text: str) -> bytes:
    return bytes.fromhex(text.replace(" ", ""))


def sw(reply: bytes) -> int:
    return (reply[-2] << 8) | reply[-1]


def new_card(state_path=None, fresh=False) -> Card:
    return Card(CardState(state_path, fresh=fresh))


def recv_exact(sock: socket.socket, n: int) -> bytes:
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise EOFError("peer closed after %d of %d bytes" % (len(buf), n))
        buf += chunk
    return buf


class FakeVpcd:
    """The reader side of the vpcd protocol: a TCP server the card connects to.

    Like vpcd it writes the length and the payload of a message with two
    separate send() calls, and it leaves Nagle on.
    """

    def __init__(self, listen: bool = True):
        # Bound but not listening, the port refuses connections and stays ours,
        # so no other test can pick it up in between.
        self.srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.srv.bind(("127.0.0.1", 0))
        self.port = self.srv.getsockname()[1]
        self.conn = None
        if listen:
            self.listen()

    def listen(self) -> None:
        self.srv.listen(4)

    def accept(self, timeout: float = TIMEOUT) -> socket.socket:
        self.srv.settimeout(timeout)
        self.drop()
        self.conn, _ = self.srv.accept()
        self.conn.settimeout(timeout)
        return self.conn

    def send(self, payload: bytes, split: bool = True) -> None:
        header = len(payload).to_bytes(2, "big")
        if split:
            self.conn.sendall(header)
            self.conn.sendall(payload)
        else:
            self.conn.sendall(header + payload)

    def recv_frame(self) -> bytes:
        n = int.from_bytes(recv_exact(self.conn, 2), "big")
        return recv_exact(self.conn, n) if n else b""

    def control(self, code: int):
        self.send(bytes([code]))
        return self.recv_frame() if code == 0x04 else None

    def transmit(self, raw: bytes, split: bool = True) -> bytes:
        self.send(raw, split)
        return self.recv_frame()

    def wait_closed(self, timeout: float = TIMEOUT) -> bool:
        """True when the card closed its end (EOF) within timeout."""
        self.conn.settimeout(timeout)
        try:
            return self.conn.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    def drop(self) -> None:
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    def close(self) -> None:
        self.drop()
        self.srv.close()


class InProcessToken:
    """A Token with its side channel on a free port, connected to a FakeVpcd."""

    def __init__(self, state_path=None, fresh=False, inserted=True, listen=True):
        self.vpcd = FakeVpcd(listen)
        self.token = Token(vpcd_port=self.vpcd.port, control_port=0,
                           state_path=state_path, fresh=fresh, inserted=inserted)
        self.token.start()
        self.card = self.token.card
        self.link = self.token.link
        self.port = self.token.control_port

    def accept(self) -> None:
        """Accept the card's connection and wait until the token counts it."""
        self.vpcd.accept()
        if not self.link.wait(lambda: self.link.connected, TIMEOUT):
            raise RuntimeError("token did not register its vpcd connection")

    def close(self) -> None:
        self.token.stop()
        self.vpcd.close()


class TokenProcess:
    """vtoken.py as a child process, with a ready file to learn its control port."""

    def __init__(self, vpcd_port: int, state_path=None, extra=()):
        self.dir = tempfile.mkdtemp(prefix="vtoken-proc-")
        self.ready = os.path.join(self.dir, "ready")
        cmd = [PYTHON, VTOKEN, "--port", str(vpcd_port), "--control-port", "0",
               "--ready-file", self.ready]
        if state_path:
            cmd += ["--state", state_path]
        cmd += list(extra)
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + TIMEOUT
        while not os.path.exists(self.ready):
            if self.proc.poll() is not None:
                out, err = self.proc.communicate()
                raise RuntimeError("vtoken exited %d: %s" % (self.proc.returncode, err.decode()))
            if time.monotonic() > deadline:
                self.kill()
                raise RuntimeError("vtoken did not come up")
            time.sleep(0.01)
        with open(self.ready) as f:
            self.info = json.load(f)
        self.port = self.info["control_port"]

    def wait(self, timeout: float = TIMEOUT) -> int:
        return self.proc.wait(timeout)

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(TIMEOUT)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()


CONFIG_HEADER = os.path.join(os.path.dirname(VTOKEN_DIR), "apdu.core", "include", "solvanta_card_config.h")


def header_string(name: str) -> bytes:
    """A string #define of the host's configuration header, read apart from
    the token's own reader."""
    with open(CONFIG_HEADER, "rb") as f:
        for line in f:
            words = line.split(None, 2)
            if words[:2] == [b"#define", name.encode()]:
                return words[2].strip().strip(b'"')
    raise KeyError(name)


class CardClient:
    """A powered card and the host side of its commands: plain, extended
    and wrapped (under a channel with fixed keys, or an agreed one)."""

    def __init__(self, card=None):
        self.card = card if card is not None else new_card()
        self.card.control(0x01)

    def raw(self, raw: bytes) -> bytes:
        return self.card.process(raw)

    def send(self, header: str, data: bytes = b"", le=None) -> bytes:
        raw = apdu(header)
        extended = len(data) > 255 or (le is not None and le > 256)
        if data:
            raw += (b"\x00" + len(data).to_bytes(2, "big")) if extended else bytes([len(data)])
            raw += data
        if le is not None:
            if extended:
                raw += (b"" if data else b"\x00") + (le & 0xFFFF).to_bytes(2, "big")
            else:
                raw += bytes([le & 0xFF])
        return self.card.process(raw)

    def sw(self, header: str, data: bytes = b"", le=None) -> int:
        return sw(self.send(header, data, le))

    def ok(self, header: str, data: bytes = b"", le=None) -> bytes:
        reply = self.send(header, data, le)
        if sw(reply) != 0x9000:
            raise AssertionError("%s -> %s" % (header, reply.hex()))
        return reply[:-2]

    def open_test_channel(self):
        from card import sm
        self.card.volatile.sm = sm.Channel(mac_key=bytes(range(32)), enc_key=bytes(range(32, 64)))
        return self.card.volatile.sm

    def wrapped(self, header: str, data: bytes = b"", le=None):
        """A wrapped command under the open channel: (SW, reply data unwrapped)."""
        from card import sm
        channel = self.card.volatile.sm
        reply = self.card.process(channel.wrap_command(apdu(header), data, le))
        body = reply[:-2]
        if body:
            if sm.cmac(channel.mac_key, body[:-16]) != body[-16:]:
                return sw(reply), None
            body = sm.unpad(sm._cbc(channel.enc_key, body[:-16], False))
        return sw(reply), body
