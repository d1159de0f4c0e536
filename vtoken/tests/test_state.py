import json
import os
import shutil
import tempfile
import unittest

import support  # noqa: F401
from support import apdu, new_card

from card.drbg import HmacDrbg
from card.state import CardState, StateError, defaults


class PersistenceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vtoken-state-")
        self.path = os.path.join(self.dir, "sub", "card.json")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_changes_survive_a_new_card(self):
        card = new_card(self.path)
        card.process(apdu("80 06 07 00"))
        card.process(apdu("80 16 00 00"))
        again = new_card(self.path)
        self.assertEqual(again.state["working_mode"], 7)
        self.assertEqual(again.process(apdu("80 05 00 00 08")).hex(), "00070000000000019000")

    def test_every_change_is_on_disk_at_once(self):
        card = new_card(self.path)
        card.process(apdu("80 06 42 00"))
        with open(self.path) as f:
            self.assertEqual(json.load(f)["working_mode"], 0x42)
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.path))], ["card.json"])

    def test_fresh_discards_the_file(self):
        new_card(self.path).process(apdu("80 06 07 00"))
        card = new_card(self.path, fresh=True)
        self.assertEqual(card.state.snapshot(), defaults())
        self.assertEqual(new_card(self.path).state["working_mode"], 0)

    def test_reset_restores_defaults_and_saves(self):
        card = new_card(self.path)
        card.state.update(working_mode=9, chip_id="aa")
        card.state.reset()
        self.assertEqual(new_card(self.path).state.snapshot(), defaults())

    def test_missing_keys_take_defaults(self):
        os.makedirs(os.path.dirname(self.path))
        with open(self.path, "w") as f:
            json.dump({"version": 1, "working_mode": 5}, f)
        card = new_card(self.path)
        self.assertEqual(card.state["working_mode"], 5)
        self.assertEqual(card.state["fs_free_space"], defaults()["fs_free_space"])

    def test_unreadable_state_is_refused(self):
        os.makedirs(os.path.dirname(self.path))
        for text in ("{not json", "[1, 2]", '{"version": 99}'):
            with self.subTest(text=text):
                with open(self.path, "w") as f:
                    f.write(text)
                with self.assertRaises(StateError):
                    CardState(self.path)
                with open(self.path) as f:      # left as it was
                    self.assertEqual(f.read(), text)

    def test_unknown_key_is_refused(self):
        with self.assertRaises(KeyError):
            CardState().update(no_such_key=1)

    def test_snapshot_is_a_copy(self):
        st = CardState()
        snap = st.snapshot()
        snap["working_mode"] = 99
        self.assertEqual(st["working_mode"], 0)


class VolatileTest(unittest.TestCase):
    def test_power_events_clear_only_volatile_state(self):
        card = new_card()
        card.process(apdu("80 06 03 00"))
        for event in (lambda: card.control(0x02), lambda: card.control(0x00),
                      lambda: card.control(0x01), card.removed, card.inserted):
            card.volatile.sm = object()
            card.volatile.extra["pin"] = "verified"
            event()
            self.assertIsNone(card.volatile.sm)
            self.assertEqual(card.volatile.extra, {})
            self.assertEqual(card.state["working_mode"], 3)

    def test_power_state(self):
        card = new_card()
        self.assertFalse(card.powered)
        self.assertIsNone(card.control(0x01))
        self.assertTrue(card.powered)
        self.assertIsNone(card.control(0x00))
        self.assertFalse(card.powered)
        self.assertIsNone(card.control(0x02))
        self.assertTrue(card.powered)
        self.assertEqual(card.control(0x04), card.atr)
        self.assertIsNone(card.control(0x7E))    # unknown control: ignored
        card.removed()
        self.assertFalse(card.powered)


class DrbgTest(unittest.TestCase):
    def test_deterministic_for_a_seed(self):
        a, b = HmacDrbg(b"e" * 32, b"n" * 16), HmacDrbg(b"e" * 32, b"n" * 16)
        self.assertEqual(a.generate(100), b.generate(100))
        self.assertNotEqual(HmacDrbg(b"f" * 32).generate(32), HmacDrbg(b"e" * 32).generate(32))

    def test_outputs_differ_and_reseed_changes_the_stream(self):
        a, b = HmacDrbg(b"e" * 32), HmacDrbg(b"e" * 32)
        first = a.generate(32)
        self.assertNotEqual(first, a.generate(32))
        b.generate(32)
        b.reseed(b"r" * 32)
        self.assertEqual(b.reseed_counter, 1)
        self.assertNotEqual(a.generate(32), b.generate(32))
        self.assertEqual(len(a.generate(1)), 1)
        self.assertEqual(len(a.generate(65)), 65)


if __name__ == "__main__":
    unittest.main()
