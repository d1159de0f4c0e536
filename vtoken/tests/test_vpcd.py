import socket
import statistics
import time
import unittest

import support  # noqa: F401
from support import TIMEOUT, FakeVpcd, apdu, new_card

from card.core import DEFAULT_ATR
from card.vpcd import VpcdLink


class LinkTest(unittest.TestCase):
    def setUp(self):
        self.vpcd = FakeVpcd()
        self.card = new_card()
        self.link = VpcdLink(self.card, "127.0.0.1", self.vpcd.port)
        self.link.start()
        self.vpcd.accept()
        self.assertTrue(self.link.wait(lambda: self.link.connected, TIMEOUT))

    def tearDown(self):
        self.link.stop()
        self.vpcd.close()

    def test_atr_and_silent_controls(self):
        self.assertEqual(self.vpcd.control(0x04), DEFAULT_ATR)
        # power on, reset and power off get no answer: the next frame that comes
        # back belongs to the APDU sent after them.
        for code in (0x01, 0x02, 0x00, 0x01):
            self.vpcd.control(code)
        self.assertEqual(self.vpcd.transmit(apdu("80 01 00 00 04")).hex(), "0001f4009000")
        self.assertTrue(self.card.powered)
        self.vpcd.control(0x00)
        self.assertEqual(self.vpcd.transmit(apdu("80 FF 00 00")), apdu("6D00"))
        self.assertFalse(self.card.powered)
        self.assertEqual([c.get("code") for c in self.card.log.snapshot()["controls"]
                          if "code" in c], ["04", "01", "02", "00", "01", "00"])

    def test_framing(self):
        chip = apdu("80 03 00 00 00")
        self.assertEqual(self.vpcd.transmit(chip, split=False)[-2:], apdu("9000"))
        # a message dribbled in byte by byte
        frame = len(chip).to_bytes(2, "big") + chip
        for b in frame:
            self.vpcd.conn.sendall(bytes([b]))
        self.assertEqual(len(self.vpcd.recv_frame()), 18)
        # an extended APDU of 1000 bytes and a zero-length message (ignored)
        big = apdu("80 FF 00 00 00 03 E8") + bytes(1000)
        self.vpcd.conn.sendall(b"\x00\x00")
        self.assertEqual(self.vpcd.transmit(big), apdu("6D00"))
        self.assertEqual(self.card.log.snapshot()["entries"][-1]["command"], big.hex())

    def test_options_and_latency(self):
        # vpcd writes length and payload separately with Nagle on; without
        # TCP_QUICKACK on the card side each exchange waits ~40 ms for a delayed ACK.
        self.assertEqual(self.link._sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY), 1)
        times = []
        for _ in range(40):
            t0 = time.perf_counter()
            self.vpcd.transmit(apdu("80 01 00 00 04"))
            times.append(time.perf_counter() - t0)
        self.assertLess(statistics.median(times), 0.020,
                        "median %.1f ms: delayed ACKs?" % (statistics.median(times) * 1e3))

    def test_reconnects_when_vpcd_drops(self):
        self.card.volatile.sm = object()
        self.vpcd.drop()
        self.vpcd.accept()
        self.assertTrue(self.link.wait(lambda: self.link.connected and self.link.connections == 2,
                                       TIMEOUT))
        self.assertIsNone(self.card.volatile.sm)
        self.assertEqual(self.vpcd.control(0x04), DEFAULT_ATR)
        events = [c["event"] for c in self.card.log.snapshot()["controls"] if "event" in c]
        self.assertEqual(events, ["inserted", "removed", "inserted"])

    def test_remove_closes_and_insert_reconnects(self):
        self.assertTrue(self.link.remove(TIMEOUT))
        self.assertFalse(self.link.connected)
        self.assertTrue(self.vpcd.wait_closed())
        # stays out: no new connection is attempted while removed
        self.vpcd.srv.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            self.vpcd.srv.accept()
        self.assertTrue(self.link.insert(TIMEOUT))
        self.vpcd.accept()
        self.assertEqual(self.vpcd.transmit(apdu("80 01 00 00 04"))[-2:], apdu("9000"))

    def test_stop_closes_the_connection(self):
        self.link.stop()
        self.assertTrue(self.vpcd.wait_closed())
        self.assertFalse(self.link.connected)


class LateVpcdTest(unittest.TestCase):
    def test_connects_once_vpcd_listens(self):
        vpcd = FakeVpcd(listen=False)
        link = VpcdLink(new_card(), "127.0.0.1", vpcd.port)
        link.start()
        try:
            self.assertTrue(link.wait(lambda: link.last_error is not None, TIMEOUT))
            self.assertIn("refused", link.last_error)
            self.assertFalse(link.connected)
            self.assertFalse(link.insert(0.1))     # nothing to connect to yet
            vpcd.listen()
            vpcd.accept()
            self.assertTrue(link.insert(TIMEOUT))
            self.assertEqual(vpcd.control(0x04), DEFAULT_ATR)
        finally:
            link.stop()
            vpcd.close()

    def test_starts_removed(self):
        vpcd = FakeVpcd()
        link = VpcdLink(new_card(), "127.0.0.1", vpcd.port, inserted=False)
        link.start()
        try:
            vpcd.srv.settimeout(0.3)
            with self.assertRaises(socket.timeout):
                vpcd.srv.accept()
            self.assertTrue(link.insert(TIMEOUT))
            vpcd.accept()
        finally:
            link.stop()
            vpcd.close()


if __name__ == "__main__":
    unittest.main()
