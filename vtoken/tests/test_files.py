"""The card's file family: the tree, selection, transparent and record files,
data objects."""

import struct
import unittest

import support  # noqa: F401
from support import apdu, new_card, sw


def df_record(name, file_id, access=(0x11, 0x22)):
    return bytes([0, *access]) + name.ljust(16, b"\x00") + struct.pack(">H", file_id)


def ef_record(name, file_id, size, ef_type=0x00, access=(1, 2, 3), parameter=0x44, second=0x55):
    return (bytes([1, ef_type, *access, parameter]) + name.ljust(16, b"\x00") +
            struct.pack(">HBH", file_id, second, size))


def counted(name):
    return bytes([len(name)]) + name


class FileFamilyTest(unittest.TestCase):
    def setUp(self):
        self.card = new_card()

    def send(self, header, data=b"", le=None):
        raw = apdu(header)
        if data:
            raw += bytes([len(data)]) + data
        if le is not None:
            raw += bytes([le])
        return self.card.process(raw)

    def ok(self, header, data=b"", le=None):
        reply = self.send(header, data, le)
        self.assertEqual(sw(reply), 0x9000, "%s -> %s" % (header, reply.hex()))
        return reply[:-2]

    def create_df(self, name, file_id):
        self.ok("80 42 00 00", df_record(name, file_id))

    def create_ef(self, name, file_id, size, ef_type=0x00):
        self.ok("80 42 00 00", ef_record(name, file_id, size, ef_type))

    def tree(self):
        """MF / root 2000 / {cardid 2001 (16 bytes), log 2005 (records, 64)}."""
        self.create_df(b"root", 0x2000)
        self.create_ef(b"cardid", 0x2001, 16)
        self.create_ef(b"log", 0x2005, 64, 0x20)

    def test_file_information_layouts(self):
        self.tree()
        mf = self.ok("00 A4 00 00", apdu("3F00"), 0)
        self.assertEqual(mf, b"\x00" + b"MF".ljust(16, b"\x00") + apdu("3F00 0000"))
        df = self.ok("00 A4 04 00", b"root", 0)
        self.assertEqual(df, b"\x00" + b"root".ljust(16, b"\x00") + apdu("2000 1122"))
        ef = self.ok("00 A4 02 00", apdu("2001"), 0)
        self.assertEqual(len(ef), 27)
        self.assertEqual(ef[17:], apdu("2001 0102 0010 00 03 44 55"))
        self.ok("80 42 00 00", ef_record(b"t10", 0x2006, 8, 0x10))
        self.assertEqual(len(self.ok("00 A4 02 00", apdu("2006"), 0)), 28)
        self.ok("80 46 80 05", b"abc", 0)
        self.ok("80 46 80 05", b"de", 0)
        rec = self.ok("00 A4 02 00", apdu("2005"), 0)
        self.assertEqual(len(rec), 36)
        self.assertEqual(rec[17:], apdu("2005 0102 0040 20 00000005 0002 03 44 55 000000"))

    def test_selection_forms_and_current_df(self):
        self.tree()
        self.ok("00 A4 00 00", apdu("3F00"), 0)
        self.assertEqual(sw(self.send("00 A4 02 00", apdu("2001"), 0)), 0x6A82, "not in the MF")
        self.ok("00 A4 01 00", apdu("2000"), 0)
        self.ok("00 A4 02 00", apdu("2001"), 0)
        self.assertEqual(sw(self.send("00 A4 01 00", apdu("2001"), 0)), 0x6A82, "an EF, not a DF")
        self.ok("00 A4 03 00", le=0)
        self.assertEqual(sw(self.send("00 A4 03 00", le=0)), 0x6A82, "the MF has no parent")
        self.assertEqual(self.ok("00 A4 08 00", apdu("2000 2001"), 0)[1:7], b"cardid")
        self.assertEqual(self.ok("00 A4 08 00", apdu("3F00 2000"), 0)[1:5], b"root")
        self.assertEqual(self.ok("00 A4 09 00", apdu("2005"), 0)[1:4], b"log")
        self.assertEqual(self.ok("00 A4 04 01", b"cardid", 0)[17:19], apdu("2001"))
        self.assertEqual(sw(self.send("00 A4 04 01", b"nothere", 0)), 0x6A82)
        self.assertEqual(sw(self.send("00 A4 04 02", b"root", 0)), 0x6A86)
        self.assertEqual(sw(self.send("00 A4 08 00", apdu("2000 20"), 0)), 0x6700)
        # A reset brings the MF back as the current DF.
        self.card.control(0x02)
        self.assertEqual(sw(self.send("00 A4 02 00", apdu("2001"), 0)), 0x6A82)

    def test_create_refuses_duplicates_and_a_full_card(self):
        self.tree()
        self.ok("00 A4 00 00", apdu("2000"), 0)
        self.assertEqual(sw(self.send("80 42 00 00", ef_record(b"other", 0x2001, 4))), 0x6A89)
        self.assertEqual(sw(self.send("80 42 00 00", ef_record(b"cardid", 0x2009, 4))), 0x6A89)
        self.assertEqual(sw(self.send("80 42 00 00", ef_record(b"x", 0x2009, 4, 0x40))), 0x6A80)
        self.card.state.update(fs_free_space=100)
        self.assertEqual(sw(self.send("80 42 00 00", ef_record(b"big", 0x2009, 101))), 0x6A84)
        self.ok("80 42 00 00", ef_record(b"fits", 0x2009, 100))
        self.assertEqual(self.card.state["fs_free_space"], 0)
        self.ok("80 43 02 00", apdu("2009"))
        self.assertEqual(self.card.state["fs_free_space"], 100)

    def test_delete_forms(self):
        self.tree()
        self.ok("80 43 03 07", counted(b"cardid"))
        self.assertEqual(sw(self.send("00 A4 02 00", apdu("2001"), 0)), 0x6A82)
        self.ok("00 A4 02 00", apdu("2005"), 0)
        self.ok("80 43 00 00")                  # the current EF
        self.ok("80 43 00 00")                  # then the current DF, root
        self.assertEqual(sw(self.send("00 A4 04 00", b"root", 0)), 0x6A82)
        self.assertEqual(sw(self.send("80 43 00 00")), 0x6985, "the MF stays")
        self.assertEqual(sorted(self.card.state["fs"]), ["3f00"])

    def test_binary_in_three_addressing_forms(self):
        self.tree()
        self.ok("00 A4 02 00", apdu("2001"), 0)
        self.ok("80 45 00 00", apdu("00 0002") + b"abc")            # current EF: cardid
        self.assertEqual(self.ok("80 44 80 01", apdu("0000"), 8), b"\x00\x00abc\x00\x00\x00")
        self.ok("80 45 40 00", apdu("00 0005") + counted(b"cardid") + b"XY")
        self.assertEqual(self.ok("80 44 40 00", apdu("0000") + counted(b"cardid"), 16),
                         b"\x00\x00abcXY" + bytes(9))
        self.ok("80 45 80 01", apdu("01 0000") + b"Z")              # mode 1: cleared first
        self.assertEqual(self.ok("80 44 00 00", apdu("0000"), 0), b"Z" + bytes(15))
        # At the end: a short read from inside, 6B00 at or past the end.
        self.assertEqual(self.ok("80 44 00 00", apdu("000E"), 8), bytes(2))
        self.assertEqual(sw(self.send("80 44 00 00", apdu("0010"), 1)), 0x6B00)
        self.assertEqual(sw(self.send("80 45 00 00", apdu("00 000F") + b"ab")), 0x6B00)
        self.assertEqual(self.ok("80 44 00 00", apdu("0000"), 0), b"Z" + bytes(15), "nothing written")
        self.assertEqual(sw(self.send("80 45 00 00", apdu("02 0000") + b"a")), 0x6A80)
        self.assertEqual(sw(self.send("80 44 80 05", apdu("0000"), 1)), 0x6981, "a record file")
        self.assertEqual(sw(self.send("80 44 80 09", apdu("0000"), 1)), 0x6A82)

    def test_records(self):
        self.tree()
        self.assertEqual(self.ok("80 46 80 05", b"first", 0), apdu("0001"))
        self.ok("00 A4 02 00", apdu("2005"), 0)
        self.assertEqual(self.ok("80 46 00 00"), apdu("0002"), "empty record, case 1")
        self.assertEqual(self.ok("80 46 40 00", counted(b"log") + b"third", 0), apdu("0003"))
        self.assertEqual(self.ok("80 47 01 00", apdu("0001"), 0), apdu("0005"))
        self.assertEqual(self.ok("80 47 81 05", apdu("0002"), 0), apdu("0000"))
        self.assertEqual(self.ok("80 47 41 00", apdu("0003") + counted(b"log"), 0), apdu("0005"))
        self.assertEqual(self.ok("80 47 00 00", apdu("0001"), 0), b"first")
        self.assertEqual(self.ok("80 47 40 00", apdu("0003 03") + b"log".ljust(16, b"\x00"), 0), b"third")
        self.assertEqual(sw(self.send("80 47 40 00", apdu("0003") + counted(b"log"), 0)), 0x6700,
                         "the record read carries the name in 16 bytes")
        self.ok("80 48 80 05", apdu("0002") + b"second")
        self.assertEqual(self.ok("80 47 80 05", apdu("0002"), 0), b"second")
        self.ok("80 48 40 00", apdu("0001") + counted(b"log") + b"1st")
        self.assertEqual(self.ok("80 47 00 00", apdu("0001"), 0), b"1st")
        self.assertEqual(sw(self.send("80 47 00 00", apdu("0004"), 0)), 0x6A83)
        self.assertEqual(sw(self.send("80 47 00 00", apdu("0000"), 0)), 0x6A83)
        # 64 bytes in all: 3 + 6 + 5 used.
        self.assertEqual(sw(self.send("80 46 00 00", bytes(51), 0)), 0x6A84)
        self.assertEqual(self.ok("80 46 00 00", bytes(50), 0), apdu("0004"))
        self.assertEqual(sw(self.send("80 46 80 01", b"x", 0)), 0x6981, "a transparent file")

    def test_data_objects(self):
        self.assertEqual(sw(self.send("00 CA 01 01", le=0)), 0x6A88)
        self.ok("00 DA 01 01", b"label")
        self.assertEqual(self.ok("00 CA 01 01", le=0), b"label")
        self.ok("00 DA 01 01", b"new")
        self.assertEqual(self.ok("00 CA 01 01", le=0), b"new")
        self.assertEqual(sw(self.send("00 CA 01 99", le=0)), 0x6A88)

    def test_tree_survives_in_the_state(self):
        self.tree()
        again = new_card()
        again.state.update(fs=self.card.state["fs"])
        self.assertEqual(sw(again.process(apdu("00 A4 04 00 04") + b"root" + b"\x00")), 0x9000)


if __name__ == "__main__":
    unittest.main()
