#!/usr/bin/env python3
"""SolvantexMon against hostile input on the GUI bed, with the scripted fake
SolvantaMgr.dll holding a known token: a table of malformed copy-data
records sent to the running monitor, and a table of broken language files
it starts with. After every row the monitor is still running and answering
(its window is there, a later good record shows its balloon), and the
certificates it registered, read from the fake library's call log, are
exactly the token's: nothing the token does not hold.

  hostile_gui_test.py copydata|language --monitor EXE --dist DIR --fake DLL --probe EXE
  hostile_gui_test.py card ... --real-mgr DLL --module DLL --winscard DLL --writer EXE
                      --helper EXE --stores EXE --fixtures-script PY --workdir DIR

The card group does the same with the real library on the virtual token (the
main form's road token), reading the user's stores from the registry.
"""
import os
import random
import sys
import time

import guibed
import main_form_gui_test as mf
import monitor_gui_test as mg
from monitor_gui_test import Case, check

# What the fake token holds: the main form tests' two containers with three
# certificates, and standalone a root CA, a sub-CA and an end-entity one.
TOKEN = mf.TWO_CONTAINERS_TOKEN
TOKEN_CONTAINERS = {"a", "b"}
# The monitor registers the container certificates and the standalone CA
# ones; an end-entity standalone certificate is never registered.
REGISTERED = {"CERT:ea1", "CERT:ea2", "CERT:eb1", "CERT:rootca", "CERT:subca"}
TOKEN_CERTS = REGISTERED | {"CERT:leaf"}

BALLOON = "balloon id=1 ok=1 kind=4 seconds=10 title= text="
NOT_RECEIVED = "message not received"


def drv(*a, **kw):
    return mg.DRV(*a, **kw)


def store_of(calls):
    """The certificates in the stores as the fake library's calls left them:
    a removal empties them, each add puts its certificate in. Also every
    container name an add named."""
    store, containers = set(), set()
    for line in calls.splitlines():
        if line.startswith("remove_all_certs_from_store"):
            store.clear()
        elif line.startswith("container_addcert_to_store") or line.startswith("helper_add_root_cert_to_store"):
            fields = dict(f.split("=", 1) for f in line.split(" ")[1:] if "=" in f)
            store.add(line.rsplit(" der=", 1)[1])
            if "container" in fields:
                containers.add(fields["container"])
    return store, containers


def check_store(c, what):
    store, containers = store_of(c.calls())
    check(store <= TOKEN_CERTS, "%s: nothing registered that the token does not hold: %s" %
          (what, sorted(store - TOKEN_CERTS)))
    check(store == REGISTERED, "%s: the stores hold the token's certificates\n%s" % (what, sorted(store)))
    check(containers <= TOKEN_CONTAINERS, "%s: only the token's containers named: %s" % (what, sorted(containers)))


def answering(c, p, what, n=[0]):
    """The monitor is running, its window is there and a good record still
    shows its balloon."""
    check(p.poll() is None, "%s: the monitor is still running\n%s" % (what, c.log(p)[-2000:]))
    drv("waitwin", "TSolvantex_TrayIcon", "-", 10000)
    n[0] += 1
    ping = "still here %d" % n[0]
    before = c.log(p)
    drv("send", "TSolvantex_TrayIcon", 0, ping)
    check(BALLOON + ping + "\n" in mf.new_lines(c, p, before), "%s: a good record after it shows its balloon\n%s" %
          (what, mf.new_lines(c, p, before)[-2000:]))


def is_regcert_line(line):
    if not line.startswith("copydata data="):
        return False
    head, _, text = line.partition(" text=")
    return head != "copydata data=1" and text.lower() == "regcert"


def settled(c, p, timeout=30):
    """Waits until the re-registration armed by the last "RegCert" record has
    run to its end (its LoadCert to the manager is sent after the
    registration)."""
    def done():
        lines = c.log(p).splitlines()
        last = max(i for i, l in enumerate(lines) if is_regcert_line(l))
        return any(l.startswith("send LoadCert") for l in lines[last + 1:])
    guibed.wait_until(done, timeout, "the re-registration after the last RegCert\n" + c.log(p)[-2000:])


def u16(text):
    return text.encode("utf-16-le")


# ---- copy-data records ----------------------------------------------------------

def group_copydata():
    c = Case("hostile_copydata", scenario=TOKEN)
    mf.shipped_config(c, default_pin=0)
    mgrlog = os.path.join(c.dir, "fakemgr.log")
    mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 600000)
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = mf.started(c)
    c.wait_log(p, "register token=0 result=0")
    check_store(c, "at start")

    long_text = "y" * 200000
    pair_at_cut = "x" * 254 + "\U0001F600" + "tail"
    hi, lo = b"\x00\xd8", b"\x00\xdc"
    # name, dwData, record bytes, cbData ("-": the bytes' own size), count,
    # a line the monitor logs for it (None: none asked; a tuple: one of
    # them), whether a re-registration follows.
    rows = [
        ("kind 7 RegCert: a command", 7, u16("RegCert\0"), "-", 1, "copydata data=7 text=RegCert\n", True),
        ("kind 2^32-1 Update: a command", 0xFFFFFFFF, u16("Update\0"), "-", 1, "update wait stopped", False),
        ("kind 2^64-1 RegCert", 0xFFFFFFFFFFFFFFFF, u16("regCERT\0"), "-", 1, "text=regCERT\n", True),
        ("kind 1 RegCert: a message only", 1, u16("RegCert\0"), "-", 1, BALLOON + "RegCert\n", False),
        ("cbData 0", 0, u16("RegCert\0"), 0, 1, "copydata ignored", False),
        ("cbData 1: no whole unit", 0, b"R", "-", 1, "copydata data=0 text=\n", False),
        ("cbData inside the text", 0, u16("RegCert\0"), 6, 1, BALLOON + "Reg\n", False),
        ("cbData past the text", 0, u16("Hey\0"), 4096, 1, BALLOON + "Hey\n", False),
        ("no NUL", 0, u16("NoEnd"), "-", 1, BALLOON + "NoEnd\n", False),
        ("odd length", 0, u16("Odd\0")[:7], "-", 1, BALLOON + "Odd\n", False),
        ("odd length inside the command", 0, u16("RegCert")[:13], "-", 1, BALLOON + "RegCer\n", False),
        ("lone high surrogate", 0, u16("a") + hi + u16("b\0"), "-", 1, "copydata data=0 text=a", False),
        ("lone low surrogate", 0, u16("a") + lo + u16("b\0"), "-", 1, "copydata data=0 text=a", False),
        ("reversed surrogate pair", 0, lo + hi + u16("\0"), "-", 1, "copydata data=0 text=", False),
        ("high surrogate last", 0, u16("RegCert") + hi, "-", 1, "copydata data=0 text=RegCert", False),
        ("a pair across the balloon's cut", 0, u16(pair_at_cut + "\0"), "-", 1, BALLOON + "x" * 254 + "\n", False),
        ("over-long text", 0, u16(long_text + "\0"), "-", 1, BALLOON + "y" * 255 + "\n", False),
        # Wine cannot pass a record this large on: the monitor's message
        # loop gets a failure instead of it, drops it and goes on.
        ("4 MiB without a NUL", 0, u16("big"), 4 << 20, 1, ("copydata data=0 text=big", NOT_RECEIVED), False),
        ("embedded NUL after RegCert", 0, u16("RegCert\0container=evil|CERT:evil\0"), "-", 1,
         "copydata data=0 text=RegCert\n", True),
        ("RegCert naming a container", 0, u16("RegCert evil\0"), "-", 1, BALLOON + "RegCert evil\n", False),
        ("a certificate the token lacks", 0, u16("CERT:evil\0"), "-", 1, BALLOON + "CERT:evil\n", False),
        ("LoadCert", 0, u16("LoadCert\0"), "-", 1, BALLOON + "LoadCert\n", False),
        ("an unknown message key", 1, u16("IDS_STRING_UKEY_MESSAGE_NOSUCH\0"), "-", 1,
         BALLOON + "IDS_STRING_UKEY_MESSAGE_NOSUCH\n", False),
        ("format specifiers", 0, u16("%s%n%x%ls%p%%\0"), "-", 1, BALLOON + "%s%n%x%ls%p%%\n", False),
        ("a burst of 200 RegCert", 0, u16("RegCert\0"), "-", 200, "copydata data=0 text=RegCert\n", True),
        ("a burst of 100 64 KiB records", 3, bytes(random.Random(32).randrange(256) for _ in range(65536)), "-",
         100, None, False),
        ("a burst of 100 Update", 0, u16("UPDATE\0"), "-", 100, "update wait stopped", False),
    ]
    record = os.path.join(c.dir, "record.bin")
    for name, kind, data, cb, count, logged, rereg in rows:
        with open(record, "wb") as f:
            f.write(data)
        before = c.log(p)
        calls_before = len(c.calls())
        r = drv("sendfile", "TSolvantex_TrayIcon", kind, guibed.windows_path(record), cb, count, timeout=300)
        new = mf.new_lines(c, p, before)
        check("sent %d of %d" % (count, count) in r.stdout or NOT_RECEIVED in new,
              "%s: every record delivered\n%s" % (name, r.stdout))
        if logged:
            alternatives = logged if isinstance(logged, tuple) else (logged,)
            check(any(a in new for a in alternatives), "%s: %r logged\n%s" % (name, alternatives, new[-1500:]))
        if rereg:
            settled(c, p)
            check("remove_all_certs_from_store" in c.calls()[calls_before:], "%s: registered again" % name)
        else:
            check("timer TRegCertXE" not in mf.new_lines(c, p, before), "%s: no re-registration armed" % name)
        answering(c, p, name)
        check_store(c, name)
        print("row:", name)
    c.stop(p)
    guibed.wait_until(lambda: "0 CLOSE" in mg.read_text(mgrlog), 10, "CLOSE at the fake manager")


# ---- language files --------------------------------------------------------------

def english():
    with open(os.path.join(mg.ARGS.dist, "Languages", "EN_1033.lng"), "rb") as f:
        return f.read()[2:].decode("utf-16-le")


def with_value(text, key, value):
    out = []
    for line in text.split("\r\n"):
        out.append(key + "=" + value if line.startswith(key + "=") else line)
    return "\r\n".join(out)


LIST = "LanguageInfo.ini"


def utf16(text):
    return b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")


def as_ansi(data):
    """Bytes as the prefix's system code page (1252) reads them; its five
    unassigned bytes stand for themselves."""
    out = ""
    for b in data:
        try:
            out += bytes([b]).decode("cp1252")
        except UnicodeDecodeError:
            out += chr(b)
    return out


def group_language():
    en = english()
    en_bytes = b"\xff\xfe" + en.encode("utf-16-le")
    zh = with_value(en, "P_Caption", "证书管理")
    cut = len(en_bytes[:2 + 2 * en.index("P_Caption=PKI man")]) + 2 * len("P_Caption=PKI man") + 1
    signok_cut = "Done" if 2 + 2 * en.index("IDS_STRING_UKEY_MESSAGE_SIGNOK=Done\r\n") < cut else ""
    junk = bytes(random.Random(1033).randrange(256) for _ in range(64 << 10))
    huge = b"\xff\xfe" + ("".join("[Filler%d]\r\nkey%d=%s\r\n" % (i, i, "v" * 200) for i in range(20000)) +
                          en).encode("utf-16-le")
    # name, the file (bytes, or None: a folder in its place), whether a
    # language file is read, the tray tip it gives (or a test of it), the
    # message key's balloon text, and which file of the Languages folder it is
    # (EN_1033.lng unless named).
    rows = [
        ("a folder", None, False, "PKI管理工具   ", "Done"),
        ("empty", b"", True, " ", ""),
        ("only the BOM", b"\xff\xfe", True, " ", ""),
        # Cut inside P_Caption's value, at an odd length (the low byte of
        # "a" is the last): the keys before the cut are read, the cut value
        # as far as it goes; the keys after the cut are missing. Wine's
        # reader makes one more character of the odd byte and whatever byte
        # follows it in its own memory, so that character is not fixed.
        ("truncated in a value, odd length", en_bytes[:cut], True,
         lambda t: t.startswith("PKI man") and len(t) <= len("PKI man") + 1, signok_cut),
        # Without a BOM the reader takes the bytes as 8-bit text: UTF-16
        # gives no key at all, UTF-8 its bytes in the system code page.
        ("UTF-16LE without BOM", en.encode("utf-16-le"), True, " ", ""),
        ("UTF-8 with BOM", b"\xef\xbb\xbf" + zh.encode("utf-8"), True, "证书管理", "Done"),
        ("UTF-8 without BOM", zh.encode("utf-8"), True, as_ansi("证书管理".encode("utf-8")), "Done"),
        ("UTF-16BE with BOM", b"\xfe\xff" + en.encode("utf-16-be"), True, "PKI manager", "Done"),
        ("keys missing", b"\xff\xfe" + "[Caption]\r\nPKCS11Name=solvantex_pkcs11.dll\r\n".encode("utf-16-le"),
         True, " ", ""),
        ("no Caption section", b"\xff\xfe" + en.replace("[Caption]", "[Other]").encode("utf-16-le"), True, " ",
         ""),
        ("over-long value", b"\xff\xfe" + with_value(en, "P_Caption", "z" * 100000).encode("utf-16-le"), True,
         "z" * 127, None),
        ("embedded NUL", b"\xff\xfe" + with_value(en, "P_Caption", "ab\0cd").encode("utf-16-le"), True, "ab",
         "Done"),
        ("format specifiers", b"\xff\xfe" + with_value(with_value(en, "P_Caption", "%s%n%x%ls%p"),
                                                       "IDS_STRING_UKEY_MESSAGE_SIGNOK", "%n%s%S%d%%").encode(
            "utf-16-le"), True, "%s%n%x%ls%p", "%n%s%S%d%%"),
        ("binary junk", junk, True, " ", ""),
        ("huge (8 MiB)", huge, True, "PKI manager", "Done"),
    ]
    info = "[Language1]\nLanguageID=1033\nLnaguageName=English\nLanguageFile=%s\nLanguageCSP=Solvantex.EN.dll\n"
    many = "".join("[L%d]\nLanguageID=9999\nLanguageFile=ZH_2052.lng\n" % i for i in range(129))
    rows += [
        # The language list broken: English is the language chosen.
        ("list: a folder", None, True, "PKI manager", "Done", LIST),
        ("list: binary junk", junk, True, "PKI manager", "Done", LIST),
        # 129 entries before English's: it is never seen, the fallback is
        # English all the same.
        ("list: past 129 entries", utf16(many + info % "ZH_2052.lng"), True, "PKI manager", "Done", LIST),
        # The chosen entry's file names no file: the built-in texts.
        ("list: no file named", utf16(info % ""), False, "PKI管理工具   ", "Done", LIST),
        ("list: a folder named", utf16(info % ".."), False, "PKI管理工具   ", "Done", LIST),
        ("list: an over-long name", utf16(info % ("n" * 5000 + ".lng")), False, "PKI管理工具   ", "Done", LIST),
        # A file that is no language file: every key missing.
        ("list: another file named", utf16(info % "..\\config\\MgrConfig.ini"), True, " ", "", LIST),
    ]
    for row in rows:
        name, data, read, tip, signok = row[:5]
        target = row[5] if len(row) > 5 else "EN_1033.lng"
        c = Case("hostile_language_" + "".join(ch if ch.isalnum() else "_" for ch in name), scenario=TOKEN)
        mf.shipped_config(c, default_pin=0)
        path = c.lang(target)
        os.remove(path)
        if data is None:
            os.makedirs(path)
        else:
            with open(path, "wb") as f:
                f.write(data)
        t0 = time.monotonic()
        p = c.start()
        c.wait_log(p, "main window", 120)
        drv("waitwin", "TSolvantex_TrayIcon", "-", 20000)
        log = c.log(p)
        check(("language file loaded" in log) == read, "%s: the file %s\n%s" % (name, "read" if read else "not read",
                                                                             log[:1500]))
        shown = [l for l in log.splitlines() if l.startswith("tray add id=1 ")]
        check(shown and shown[0].startswith("tray add id=1 ok=1 "), "%s: the tray icon is there\n%s" % (name, log))
        got_tip = shown[0].split(" tip=", 1)[1] if shown else None
        if callable(tip):
            check(got_tip is not None and tip(got_tip), "%s: the tip, got %r" % (name, got_tip))
        elif tip is not None:
            check(got_tip == tip, "%s: the tip %r, got %r" % (name, tip, got_tip))
        before = c.log(p)
        drv("send", "TSolvantex_TrayIcon", 1, "IDS_STRING_UKEY_MESSAGE_SIGNOK")
        new = mf.new_lines(c, p, before)
        balloon = [l[len(BALLOON):] for l in new.splitlines() if l.startswith(BALLOON)]
        check(len(balloon) == 1, "%s: the message key shows one balloon\n%s" % (name, new))
        if signok is not None and balloon:
            check(balloon[0] == signok, "%s: the message key's text %r, got %r" % (name, signok, balloon[0]))
        c.wait_log(p, "register token=0 result=0", 60)
        answering(c, p, name)
        check_store(c, name)
        c.stop(p)
        print("row: %s (%.1f s): tip %r, message %r" % (name, time.monotonic() - t0, (got_tip or "")[:40],
                                                           (balloon[0] if balloon else "")[:40]))


# ---- the real token --------------------------------------------------------------

def store_entries():
    """The thumbprints in the user's MY, ROOT and CA stores, read from the
    registry from outside the monitor: {(store, SHA-1)}."""
    return {(store, t) for store in ("My", "Root", "CA") for t in mf.Road.thumbprints(store)}


def group_card():
    # The real library, the module and the virtual token through the PC/SC
    # bridge: the writer's end entity (container "road-cont") and its root CA.
    import hashlib
    c = Case("hostile_card")
    mf.shipped_config(c, default_pin=0)
    fixtures = mf.write_road(c)
    if not fixtures:
        return
    sha1 = {n: hashlib.sha1(open(os.path.join(fixtures, n + ".der"), "rb").read()).hexdigest().upper()
            for n in ("ee", "root")}
    token = {("My", sha1["ee"]), ("Root", sha1["root"])}
    before = store_entries()
    check(not any(s == "My" for s, _ in before), "MY empty before the monitor starts\n%s" % sorted(before))

    def holds_the_token(what):
        now = store_entries()
        check(now - before == token - before and token <= now,
              "%s: the stores hold what the token holds, nothing else\nadded %s\nwanted %s" %
              (what, sorted(now - before), sorted(token)))
        check(not any(s == "My" and t != sha1["ee"] for s, t in now), "%s: MY holds only the token's end entity" %
              what)

    mgrlog = os.path.join(c.dir, "fakemgr.log")
    mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 600000)
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = mf.started(c)
    c.wait_log(p, "register token=0 result=0", 60)
    holds_the_token("at start")
    record = os.path.join(c.dir, "record.bin")
    rows = [
        ("RegCert naming the token's container and others", 0, u16("RegCert\0road-cont|evil|CERT:evil\0"), "-", 1,
         True),
        ("RegCert with the container's name", 0, u16("RegCert road-cont\0"), "-", 1, False),
        ("a burst of 50 RegCert", 5, u16("regcert\0"), "-", 50, True),
        ("4 MiB without a NUL", 0, u16("RegCert"), 4 << 20, 1, False),
        ("a burst of 50 odd-length RegCert", 0, u16("RegCert\0")[:15], "-", 50, True),
    ]
    for name, kind, data, cb, count, rereg in rows:
        with open(record, "wb") as f:
            f.write(data)
        drv("sendfile", "TSolvantex_TrayIcon", kind, guibed.windows_path(record), cb, count, timeout=300)
        if rereg:
            settled(c, p, 120)
        answering(c, p, name)
        holds_the_token(name)
        print("row:", name)
    c.stop(p)
    now = store_entries()
    check(not any(s == "My" for s, _ in now), "the end removed the MY entry\n%s" % sorted(now))


GROUPS = {"copydata": group_copydata, "language": group_language, "card": group_card}


def main():
    return mf.run_groups(GROUPS, "hostile")

if __name__ == "__main__":
    sys.exit(main())
