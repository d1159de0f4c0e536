"""File family: a file tree from the MF 3F00, transparent and record files,
data objects.

    00 A4 00 00 Lc=2        SelectFile by id (MF, the current DF, its parent,
                            or a child of the current DF)
    00 A4 01 00 Lc=2        a child DF of the current DF
    00 A4 02 00 Lc=2        an EF of the current DF
    00 A4 03 00             the parent of the current DF
    00 A4 04 00 Lc name     a DF by name, anywhere on the card
    00 A4 04 01 Lc name     an EF of the current DF by name
    00 A4 08 00 Lc path     ids from the MF (a leading 3F00 is skipped)
    00 A4 09 00 Lc path     ids from the current DF
    80 42 00 00 Lc          CreateFile: DF record (21 bytes) or EF record (27)
    80 43 00 00             DeleteFile: the current EF, else the current DF
    80 43 02 00 Lc=2        DeleteFile: a child of the current DF by id
    80 43 03 xx Lc          DeleteFile: a child by name (length byte, name)
    80 44 p1 p2 Lc Le       ReadBinary  (p1 00 current EF, 80 short id p2, 40 name)
    80 45 p1 p2 Lc          UpdateBinary
    80 46 p1 p2 [Lc] [Le]   AppendRecord -> the record number, u16
    80 47 p1 p2 Lc Le       ReadRecord (p1 01/81/41: its length, u16)
    80 48 p1 p2 Lc          UpdateRecord
    00 CA hh ll Le          GetData: the data object of tag hhll; the card
                            figures 0102, 0103, 0104, 0106 and 0109 itself
    00 DA hh ll Lc          PubData (0101 on a card with card information:
                            the label field)

Every select answers with the file information (layout in the card
contract) and sets the current DF (and EF).  The tree, the files' contents
and the data objects are non-volatile; the current DF and EF are volatile
(the MF after a reset).
"""

import copy
import struct

from .. import access
from ..apdu import SW_WRONG_LENGTH, SwError
from ..dispatch import (CLA_ISO, CLA_PROPRIETARY, FORBIDDEN, OPTIONAL, REQUIRED,
                        SM_OPTIONAL, Command)
from ..state import register_defaults

SW_FILE_NOT_FOUND = 0x6A82
SW_RECORD_NOT_FOUND = 0x6A83
SW_NOT_ENOUGH_MEMORY = 0x6A84
SW_FILE_EXISTS = 0x6A89
SW_WRONG_DATA = 0x6A80
SW_REF_NOT_FOUND = 0x6A88
SW_WRONG_P1P2 = 0x6B00
SW_INCORRECT_P1P2 = 0x6A86
SW_INCOMPATIBLE = 0x6981
SW_NO_CURRENT_EF = 0x6986
SW_CONDITIONS_NOT_SATISFIED = 0x6985

MF_ID = 0x3F00
NAME_MAX = 16
TRANSPARENT = (0x00, 0x10)
RECORDS = (0x20, 0x30)
CURRENT = "fs_current"           # volatile: {"df": path, "ef": path or None}

# Names whose files carry fixed ids; every other named file's id is the
# CRC-16/KERMIT of its name (checked in strict mode).
FIXED_NAMES = {b"MF", b"root", b"cardid", b"cardcf", b"cardapps", b"mscp", b"cmapfile"}

# Card information (tag 0101): manufacturer, second name, label, serial, 16
# more bytes; PubData 0101 replaces the label.
CARD_INFO_TAG = "0101"
CARD_INFO_SIZE = 128
LABEL_AT, LABEL_SIZE = 64, 32
DEFAULT_VERSION = bytes.fromhex("010002000105")


def _mf():
    return {"kind": "df", "id": MF_ID, "name": b"MF".hex(), "access": [0, 0], "children": []}


register_defaults({
    "fs": {"3f00": _mf()},       # path ("3f00/2000/...") -> file
    "data_objects": {},          # tag (4 hex digits) -> hex
    "version_info": DEFAULT_VERSION.hex(),   # GetData 0102
})


def crc16_kermit(data: bytes) -> int:
    """CRC-16/KERMIT: reflected polynomial 0x8408, initial value 0, no final XOR."""
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def _path(parent, file_id):
    return "%s/%04x" % (parent, file_id)


def _parent(path):
    return path.rsplit("/", 1)[0] if "/" in path else None


class Files:
    """The file tree of the card state, changed in a copy and saved whole."""

    def __init__(self, card):
        self.card = card
        self.fs = card.state["fs"]
        cur = card.volatile.extra.setdefault(CURRENT, {"df": "3f00", "ef": None})
        if cur["df"] not in self.fs:
            cur.update(df="3f00", ef=None)
        if cur["ef"] not in self.fs:
            cur["ef"] = None
        self.cur = cur

    def save(self):
        self.card.state.update(fs=self.fs)

    def free_space(self):
        return self.card.state["fs_free_space"]

    def set_free_space(self, value):
        self.card.state.update(fs_free_space=value)

    def children(self, path, kind=None):
        for child_id in self.fs[path]["children"]:
            child = _path(path, child_id)
            if kind is None or self.fs[child]["kind"] == kind:
                yield child

    def child_by_id(self, path, file_id, kind=None):
        for child in self.children(path, kind):
            if self.fs[child]["id"] == file_id:
                return child
        return None

    def child_by_name(self, path, name: bytes, kind=None):
        for child in self.children(path, kind):
            if bytes.fromhex(self.fs[child]["name"]) == name:
                return child
        return None

    def df_by_name(self, name: bytes):
        queue = ["3f00"]
        while queue:
            path = queue.pop(0)
            if bytes.fromhex(self.fs[path]["name"]) == name:
                return path
            queue.extend(self.children(path, "df"))
        return None

    def select(self, path):
        if path is None:
            raise SwError(SW_FILE_NOT_FOUND, "file not found")
        if self.fs[path]["kind"] == "df":
            self.cur.update(df=path, ef=None)
        else:
            self.cur.update(df=_parent(path), ef=path)
        return self.information(path)

    def information(self, path):
        f = self.fs[path]
        name = bytes.fromhex(f["name"]).ljust(NAME_MAX, b"\x00")
        a = f["access"]
        if f["kind"] == "df":
            return b"\x00" + name + struct.pack(">HBB", f["id"], a[0], a[1])
        head = b"\x01" + name + struct.pack(">HBBHB", f["id"], a[0], a[1], f["size"], f["type"])
        if f["type"] in TRANSPARENT:
            tail = struct.pack(">BBB", a[2], f["parameter"], f["second_parameter"])
            return head + tail + (b"\x00" if f["type"] == 0x10 else b"")
        key = f.get("key")
        if key is not None:
            # A key file holding a key: its algorithm id and key size in bits.
            figures = struct.pack(">IH", key["alg"], key["bits"])
        else:
            records = [bytes.fromhex(r) for r in f["records"]]
            figures = struct.pack(">IH", sum(map(len, records)), len(records))
        return head + figures + struct.pack(">BBB", a[2], f["parameter"], f["second_parameter"]) + bytes(3)

    def resolve(self, elements):
        """A path of ids (4 hex digits) or names from the MF (a leading 3F00
        or "MF" is skipped); None when a step does not exist."""
        if elements and str(elements[0]).lower() in ("3f00", "mf"):
            elements = elements[1:]
        path = "3f00"
        for element in elements:
            element = str(element)
            if self.fs[path]["kind"] != "df":
                return None
            if len(element) == 4 and all(c in "0123456789abcdefABCDEF" for c in element):
                path = self.child_by_id(path, int(element, 16))
            else:
                path = self.child_by_name(path, element.encode("latin-1"))
            if path is None:
                return None
        return path

    def walk(self, start, path_bytes: bytes):
        if len(path_bytes) % 2 or not path_bytes:
            raise SwError(SW_WRONG_LENGTH, "path of %d bytes" % len(path_bytes))
        ids = [struct.unpack(">H", path_bytes[i:i + 2])[0] for i in range(0, len(path_bytes), 2)]
        if start == "3f00" and ids[0] == MF_ID:
            ids = ids[1:]
        path = start
        for file_id in ids:
            if self.fs[path]["kind"] != "df":
                return None
            path = self.child_by_id(path, file_id)
            if path is None:
                return None
        return path

    def used_space(self):
        return sum(f.get("size", 0) for f in self.fs.values() if f["kind"] == "ef")

    def wipe(self):
        """Back to an empty MF; the space of every EF is given back."""
        self.set_free_space(self.free_space() + self.used_space())
        self.fs = {"3f00": _mf()}
        self.save()
        self.cur.update(df="3f00", ef=None)

    def create(self, entry):
        parent = self.cur["df"]
        if parent == "3f00":
            access.require_device_auth(self.card, "create in the MF")
        else:
            access.require(self.card, self.fs[parent]["access"][0], "create in %s" % parent)
        name = bytes.fromhex(entry["name"])
        if (access.strict(self.card) and name and name not in FIXED_NAMES
                and entry["id"] != crc16_kermit(name)):
            raise SwError(SW_WRONG_DATA, "id %04X is not the CRC-16 of %r" % (entry["id"], name))
        if entry["id"] == MF_ID or self.child_by_id(parent, entry["id"]) is not None:
            raise SwError(SW_FILE_EXISTS, "id %04X exists" % entry["id"])
        if name and self.child_by_name(parent, name) is not None:
            raise SwError(SW_FILE_EXISTS, "name %r exists" % name)
        size = entry.get("size", 0)
        if size > self.free_space():
            raise SwError(SW_NOT_ENOUGH_MEMORY, "card full")
        path = _path(parent, entry["id"])
        self.fs[path] = entry
        self.fs[parent]["children"].append(entry["id"])
        self.save()
        self.set_free_space(self.free_space() - size)
        if entry["kind"] == "df":
            self.cur.update(df=path, ef=None)
        else:
            self.cur["ef"] = path

    def delete(self, path, checked=True):
        if path is None:
            raise SwError(SW_FILE_NOT_FOUND, "file not found")
        if path == "3f00":
            raise SwError(0x6985, "the MF stays")
        if checked:
            access.require(self.card, self.fs[path]["access"][1], "delete %s" % path)
        freed = 0
        for p in [p for p in self.fs if p == path or p.startswith(path + "/")]:
            freed += self.fs.pop(p).get("size", 0)
        parent = _parent(path)
        self.fs[parent]["children"].remove(int(path.rsplit("/", 1)[1], 16))
        self.save()
        self.set_free_space(self.free_space() + freed)
        if self.cur["df"] not in self.fs:
            self.cur.update(df=parent, ef=None)
        elif self.cur["ef"] not in self.fs:
            self.cur["ef"] = None


def _name(data: bytes, at: int):
    """A length byte and a name at data[at:]; the name and where it ends."""
    if at >= len(data):
        raise SwError(SW_WRONG_LENGTH, "no name")
    n = data[at]
    if not 1 <= n <= NAME_MAX:
        raise SwError(SW_WRONG_DATA, "name of %d characters" % n)
    if at + 1 + n > len(data):
        raise SwError(SW_WRONG_LENGTH, "name runs past the data")
    return data[at + 1:at + 1 + n], at + 1 + n


def _u16(data: bytes, at: int) -> int:
    if at + 2 > len(data):
        raise SwError(SW_WRONG_LENGTH, "data too short")
    return struct.unpack(">H", data[at:at + 2])[0]


def _addressed(files, apdu, head: int, padded_name=False):
    """The EF a transparent or record command names, and where the rest of
    its data starts after `head` bytes (offset, mode, record number)."""
    form = apdu.p1 & 0xC0
    data = apdu.data
    if form == 0x00:
        path, rest = files.cur["ef"], head
        if path is None:
            raise SwError(SW_NO_CURRENT_EF, "no current EF")
    elif form == 0x80:
        path = next((c for c in files.children(files.cur["df"], "ef")
                     if files.fs[c]["id"] & 0xFF == apdu.p2), None)
        rest = head
    else:
        if padded_name:
            # The record read carries the name in a 16-byte zero-padded field.
            if len(data) != head + 1 + NAME_MAX:
                raise SwError(SW_WRONG_LENGTH, "name field of %d bytes" % (len(data) - head))
            name, _ = _name(data, head)
            rest = len(data)
        else:
            name, rest = _name(data, head)
        path = files.child_by_name(files.cur["df"], name, "ef")
    if path is None:
        raise SwError(SW_FILE_NOT_FOUND, "EF not found")
    files.cur["ef"] = path
    return path, files.fs[path], rest


def _transparent(f):
    if f["type"] not in TRANSPARENT:
        raise SwError(SW_INCOMPATIBLE, "not a transparent file")


def _records(f):
    if f["type"] not in RECORDS:
        raise SwError(SW_INCOMPATIBLE, "not a record file")
    return f["records"]


def select_file(card, apdu):
    files = Files(card)
    p1, data = apdu.p1, apdu.data
    cur = files.cur["df"]
    if p1 == 0x03:
        return files.select(_parent(cur))
    if p1 == 0x04:
        if apdu.p2 not in (0x00, 0x01):
            raise SwError(SW_INCORRECT_P1P2, "P2 %02X" % apdu.p2)
        if not 1 <= len(data) <= NAME_MAX:
            raise SwError(SW_WRONG_LENGTH, "name of %d characters" % len(data))
        if apdu.p2 == 0x00:
            return files.select(files.df_by_name(data))
        return files.select(files.child_by_name(cur, data, "ef"))
    if p1 in (0x08, 0x09):
        return files.select(files.walk("3f00" if p1 == 0x08 else cur, data))
    if len(data) != 2:
        raise SwError(SW_WRONG_LENGTH, "file id of %d bytes" % len(data))
    file_id = _u16(data, 0)
    if p1 == 0x01:
        return files.select(files.child_by_id(cur, file_id, "df"))
    if p1 == 0x02:
        return files.select(files.child_by_id(cur, file_id, "ef"))
    if file_id == MF_ID:
        return files.select("3f00")
    if files.fs[cur]["id"] == file_id:
        return files.select(cur)
    parent = _parent(cur)
    if parent is not None and files.fs[parent]["id"] == file_id:
        return files.select(parent)
    return files.select(files.child_by_id(cur, file_id))


def create_file(card, apdu):
    d = apdu.data
    if len(d) == 21 and d[0] == 0:
        entry = {"kind": "df", "id": _u16(d, 19), "name": d[3:19].rstrip(b"\x00").hex(),
                 "access": [d[1], d[2]], "children": []}
    elif len(d) == 27 and d[0] == 1:
        ef_type = d[1]
        if ef_type not in TRANSPARENT + RECORDS:
            raise SwError(SW_WRONG_DATA, "EF type %02X" % ef_type)
        size = _u16(d, 25)
        entry = {"kind": "ef", "id": _u16(d, 22), "name": d[6:22].rstrip(b"\x00").hex(),
                 "access": [d[2], d[3], d[4]], "type": ef_type, "parameter": d[5],
                 "second_parameter": d[24], "size": size}
        if ef_type in TRANSPARENT:
            entry["data"] = bytes(size).hex()
        else:
            entry["records"] = []
    else:
        raise SwError(SW_WRONG_LENGTH, "file record of %d bytes" % len(d))
    Files(card).create(entry)
    return b""


def delete_file(card, apdu):
    files = Files(card)
    if apdu.p1 == 0x00:
        files.delete(files.cur["ef"] or files.cur["df"])
    elif apdu.p1 == 0x02:
        if len(apdu.data) != 2:
            raise SwError(SW_WRONG_LENGTH, "file id of %d bytes" % len(apdu.data))
        files.delete(files.child_by_id(files.cur["df"], _u16(apdu.data, 0)))
    else:
        name, end = _name(apdu.data, 0)
        if end != len(apdu.data):
            raise SwError(SW_WRONG_LENGTH, "bytes after the name")
        files.delete(files.child_by_name(files.cur["df"], name))
    return b""


def read_binary(card, apdu):
    files = Files(card)
    path, f, rest = _addressed(files, apdu, 2)
    _transparent(f)
    if rest != len(apdu.data):
        raise SwError(SW_WRONG_LENGTH, "bytes after the offset")
    access.require(card, f["access"][0], "read %s" % path)
    offset = _u16(apdu.data, 0)
    content = bytes.fromhex(f["data"])
    if offset >= len(content):
        raise SwError(SW_WRONG_P1P2, "offset %d past the end (%d)" % (offset, len(content)))
    out = content[offset:offset + apdu.le]
    short = card.hooks.pop("short_read", None)
    return out if short is None else out[:short]


def update_binary(card, apdu):
    files = Files(card)
    path, f, rest = _addressed(files, apdu, 3)
    _transparent(f)
    access.require(card, f["access"][1], "write %s" % path)
    mode, offset = apdu.data[0], _u16(apdu.data, 1)
    if mode not in (0x00, 0x01):
        raise SwError(SW_WRONG_DATA, "mode %02X" % mode)
    new = apdu.data[rest:]
    content = bytearray.fromhex(f["data"])
    if offset + len(new) > len(content):
        raise SwError(SW_WRONG_P1P2, "write past the end")
    if mode == 0x01 and offset == 0:
        # A new content: the first write clears the file; later chunks of
        # the same content (mode 01 at other offsets) only write.
        content = bytearray(len(content))
    content[offset:offset + len(new)] = new
    f["data"] = content.hex()
    files.save()
    return b""


def _record_room(files, f, records, extra):
    if sum(len(bytes.fromhex(r)) for r in records) + extra > f["size"]:
        raise SwError(SW_NOT_ENOUGH_MEMORY, "record file full")


def append_record(card, apdu):
    files = Files(card)
    path, f, rest = _addressed(files, apdu, 0)
    records = _records(f)
    new = apdu.data[rest:]
    _record_room(files, f, records, len(new))
    if len(records) >= 0xFFFF:
        raise SwError(SW_NOT_ENOUGH_MEMORY, "too many records")
    records.append(new.hex())
    files.save()
    return struct.pack(">H", len(records))


def _record_index(records, number):
    if not 1 <= number <= len(records):
        raise SwError(SW_RECORD_NOT_FOUND, "record %d" % number)
    return number - 1


def read_record(card, apdu):
    files = Files(card)
    length_only = apdu.p1 & 0x01
    path, f, rest = _addressed(files, apdu, 2, padded_name=not length_only)
    records = _records(f)
    if rest != len(apdu.data):
        raise SwError(SW_WRONG_LENGTH, "bytes after the record number")
    record = bytes.fromhex(records[_record_index(records, _u16(apdu.data, 0))])
    return struct.pack(">H", len(record)) if length_only else record


def update_record(card, apdu):
    files = Files(card)
    path, f, rest = _addressed(files, apdu, 2)
    records = _records(f)
    index = _record_index(records, _u16(apdu.data, 0))
    new = apdu.data[rest:]
    _record_room(files, f, records, len(new) - len(bytes.fromhex(records[index])))
    records[index] = new.hex()
    files.save()
    return b""


def _memory(card):
    files = Files(card)
    free = files.free_space()
    return struct.pack(">IIH", min(free + files.used_space(), 0xFFFFFFFF), free, 0)


def _working_mode(card):
    # Little-endian: the mode in the first byte.
    return struct.pack("<I", card.state["working_mode"] & 0xFF)


def _child_ids(card):
    files = Files(card)
    return b"".join(struct.pack(">H", files.fs[c]["id"]) for c in files.children(files.cur["df"]))


def _format_state(card):
    return struct.pack(">I", 1 if access.formatted(card) else 0)


# Data objects the card figures itself; PubData cannot replace them.
COMPUTED = {
    "0102": lambda card: bytes.fromhex(card.state["version_info"]),
    "0103": _memory,
    "0104": _working_mode,
    "0106": _child_ids,
    "0109": _format_state,
}


def card_info(manufacturer: bytes, second: bytes, label: bytes, serial: bytes) -> bytes:
    return b"".join(field[:32].ljust(32, b"\x00") for field in (manufacturer, second, label)) + \
        serial[:16].ljust(32, b"\x00")


def set_card_info(card, info: bytes) -> None:
    objects = card.state["data_objects"]
    objects[CARD_INFO_TAG] = info.hex()
    card.state.update(data_objects=objects)


def wipe_data_objects(card, info: bytes) -> None:
    card.state.update(data_objects={CARD_INFO_TAG: info.hex()})


def get_data(card, apdu):
    tag = "%02x%02x" % (apdu.p1, apdu.p2)
    if tag in COMPUTED:
        return COMPUTED[tag](card)
    value = card.state["data_objects"].get(tag)
    if value is None:
        raise SwError(SW_REF_NOT_FOUND, "no data object %s" % tag)
    return bytes.fromhex(value)


def put_data(card, apdu):
    tag = "%02x%02x" % (apdu.p1, apdu.p2)
    if tag in COMPUTED:
        raise SwError(SW_CONDITIONS_NOT_SATISFIED, "data object %s is the card's" % tag)
    objects = card.state["data_objects"]
    info = bytes.fromhex(objects.get(tag, ""))
    if tag == CARD_INFO_TAG and len(info) == CARD_INFO_SIZE:
        # A card with card information: the data is the new label.
        if len(apdu.data) > LABEL_SIZE:
            raise SwError(SW_WRONG_LENGTH, "label of %d bytes" % len(apdu.data))
        value = info[:LABEL_AT] + apdu.data.ljust(LABEL_SIZE, b"\x00") + info[LABEL_AT + LABEL_SIZE:]
    else:
        value = apdu.data
    objects[tag] = value.hex()
    card.state.update(data_objects=objects)
    return b""


def register(table) -> None:
    I, P = CLA_ISO, CLA_PROPRIETARY
    for p1 in (0x00, 0x01, 0x02, 0x08, 0x09):
        table.add(Command("SelectFile", I, 0xA4, p1, 0x00, select_file,
                          data=REQUIRED, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("SelectFile", I, 0xA4, 0x03, 0x00, select_file,
                      data=FORBIDDEN, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("SelectFile", I, 0xA4, 0x04, None, select_file,
                      data=REQUIRED, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("CreateFile", P, 0x42, 0x00, 0x00, create_file,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("DeleteFile", P, 0x43, 0x00, 0x00, delete_file,
                      data=FORBIDDEN, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("DeleteFile", P, 0x43, 0x02, 0x00, delete_file,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
    table.add(Command("DeleteFile", P, 0x43, 0x03, None, delete_file,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
    # Three addressing forms each: P1 00 (current EF), 80 (short id in P2),
    # 40 (name in the data); the record-length reads add bit 01.
    forms = ((0x00, 0x00), (0x80, None), (0x40, 0x00))
    for base, p2 in forms:
        table.add(Command("ReadBinary", P, 0x44, base, p2, read_binary,
                          data=REQUIRED, le=REQUIRED, sm=SM_OPTIONAL))
        table.add(Command("UpdateBinary", P, 0x45, base, p2, update_binary,
                          data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL, min_data=3))
        table.add(Command("AppendRecord", P, 0x46, base, p2, append_record,
                          data=REQUIRED if base == 0x40 else OPTIONAL, le=OPTIONAL,
                          sm=SM_OPTIONAL))
        for bit in (0x00, 0x01):
            table.add(Command("ReadRecord", P, 0x47, base | bit, p2, read_record,
                              data=REQUIRED, le=OPTIONAL, sm=SM_OPTIONAL, min_data=2))
        table.add(Command("UpdateRecord", P, 0x48, base, p2, update_record,
                          data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL, min_data=2))
    table.add(Command("GetData", I, 0xCA, None, None, get_data,
                      data=FORBIDDEN, le=OPTIONAL, sm=SM_OPTIONAL))
    table.add(Command("PubData", I, 0xDA, None, None, put_data,
                      data=REQUIRED, le=FORBIDDEN, sm=SM_OPTIONAL))
