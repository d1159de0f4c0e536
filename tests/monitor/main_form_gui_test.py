#!/usr/bin/env python3
"""SolvantexMon's main form on the GUI bed, against the scripted fake
SolvantaMgr.dll: certificate registration and its codes, arrival and removal,
expiry warnings, closing, the copy-data commands, session changes and the
closing of open dialogs.

  main_form_gui_test.py <group> --monitor EXE --dist DIR --fake DLL --probe EXE

The installed copies, the logs and the switch are those of
monitor_gui_test.py (its Case); the shipped MgrConfig.ini of a case is
rewritten where a case needs other settings (start-up copies it over the
user's).
"""
import argparse
import datetime
import os
import sys
import time

import guibed
import monitor_gui_test as mg
from monitor_gui_test import Case, check

PATH_0166 = "\\\\?\\USB#VID_096E&PID_0166#5&1a&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
PATH_OTHER = "\\\\?\\USB#VID_1234&PID_0167#x#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
MS_PROVIDER = "Microsoft Base Smart Card Crypto Provider"


def shipped_config(c, url_mode=0, url="", browser=0, tips=0, days=30, language=1033, default_pin=1):
    with open(os.path.join(c.app, "config", "MgrConfig.ini"), "w") as f:
        f.write(("[APPConfig]\nURLOpenMode=%d\nURL=%s\nBrowserMode=%d\nCertTips=%d\nCertDay=%d\n"
                 "LanguageID=%d\nDefaultPINMode=%d\n" % (url_mode, url, browser, tips, days, language,
                                                         default_pin)).replace("\n", "\r\n"))


def drv(*a, **kw):
    return mg.DRV(*a, **kw)


def started(c, **kw):
    p = c.start(**kw)
    c.ready(p)
    return p


def new_lines(c, p, before):
    return c.log(p)[len(before):]


def wait_count(c, p, text, n, timeout=20):
    guibed.wait_until(lambda: c.log(p).count(text) >= n, timeout, "%d x %r\n%s" % (n, text, c.log(p)))


# ---- registration codes -----------------------------------------------------

# A token of two containers with three certificates, and standalone a root
# CA, a sub-CA and an end-entity certificate.
TWO_CONTAINERS_TOKEN = """[library]
tokens=1
[token0]
containers=a|b
standalone=rootca|subca|leaf
[container 0 a]
cert1=ea1
cert2=ea2
[container 0 b]
cert1=eb1
[cert rootca]
ca_kind=1
[cert subca]
ca_kind=2
[cert leaf]
ca_kind=0
"""
TWO_CONTAINERS = TWO_CONTAINERS_TOKEN + "[store]\n"


def group_register():
    rows = [
        # store lines, expected result, container certs added, the others not
        ("", 0, ["a spec=1", "a spec=2", "b spec=1"], []),
        ("add1=5", 10005, ["a spec=1"], ["a spec=2", "b spec=1"]),
        ("add1=0\nadd2=7", 20007, ["a spec=1", "a spec=2"], ["b spec=1"]),
    ]
    for store, result, added, skipped in rows:
        c = Case("register_%d" % result, scenario=TWO_CONTAINERS + store + "\n")
        shipped_config(c)
        p = started(c)
        c.wait_log(p, "register token=0 result=%d" % result)
        calls = c.calls()
        for a in added:
            name, spec = a.split()
            check("container_addcert_to_store container=%s provider=%s %s der=CERT:e%s%s" %
                  (name, MS_PROVIDER, spec, name, spec[-1]) in calls, "%s: %s registered\n%s" % (store, a, calls))
        for a in skipped:
            name, spec = a.split()
            check("container_addcert_to_store container=%s provider=%s %s" % (name, MS_PROVIDER, spec) not in calls,
                  "%s: %s skipped after the failure" % (store, a))
        # The standalone CA certificates in any case, the end-entity one never.
        check("helper_add_root_cert_to_store store=ROOT der=CERT:rootca" in calls, "%s: root CA to ROOT" % store)
        check("helper_add_root_cert_to_store store=CA der=CERT:subca" in calls, "%s: sub CA to CA" % store)
        check(not any("CERT:leaf" in l for l in calls.splitlines() if "to_store" in l),
              "%s: no store call with the end-entity standalone\n%s" % (store, calls))
        c.stop(p)
        check("remove_all_certs_from_store provider=%s" % MS_PROVIDER in c.calls(),
              "the end removes under the provider that registered")

    # Before any registration the language file's provider name is used.
    c = Case("register_none", tokens=0)
    shipped_config(c)
    p = started(c)
    c.stop(p)
    check("remove_all_certs_from_store provider=Tarnely Zervik N8Dex CSP V1.1" in c.calls(),
          "no registration yet: the language file's provider\n" + c.calls())


# ---- arrival and removal ------------------------------------------------------

def group_arrival():
    # Unwatched product id: nothing.
    c = Case("arrival_unwatched", tokens=0)
    shipped_config(c, url_mode=1, url="http://example.test/")
    p = started(c)
    c.scenario("[library]\ntokens=1\n")
    drv("devchange", "arrival", PATH_OTHER)
    c.wait_log(p, "usb arrival handled=0", 10)
    time.sleep(1.5)
    check("balloon" not in c.log(p) and "tokens found=1" not in c.log(p), "an unwatched id is ignored")
    c.stop(p)

    # Not found within the polls: it gives up without a balloon.
    c = Case("arrival_gives_up", tokens=0)
    shipped_config(c)
    p = started(c)
    drv("devchange", "arrival", PATH_0166)
    c.wait_log(p, "find tokens gave up", 90)
    log = c.log(p)
    polls = c.calls().count("token_find capacity")
    check(polls == 1 + 59, "59 polls after the one at start, got %d" % (polls - 1))
    check("balloon" not in log, "no balloon when no token came")
    c.stop(p)

    # One token arrives: balloon, registration, the URL in open mode 1, the
    # init balloon for a token not initialised, the default-PIN check armed.
    for mode, url, opened in [(1, "http://example.test/a", True), (1, "https://example.test/b", True),
                              (0, "http://example.test/c", False), (1, "file:///C:/windows/notepad.exe", False),
                              (1, "C:\\windows\\notepad.exe", False)]:
        c = Case("arrival_url_%d_%s" % (mode, url.split(":")[0]), tokens=0)
        shipped_config(c, url_mode=mode, url=url)
        p = started(c)
        c.scenario("[library]\ntokens=1\n[token0]\ninitialised=0\ncontainers=a\n[container 0 a]\ncert1=x\n")
        drv("devchange", "arrival", PATH_0166)
        c.wait_log(p, "text=USB key inserted", 20)
        c.wait_log(p, "text=The key is not initialised.", 10)
        c.wait_log(p, "timer TCheckDefaultUPIN", 10)
        log = c.log(p)
        check(("shell open file=%s" % url in log) == opened or
              (opened and "shell open file=%s" % url.strip() in log), "url %s mode %d opened=%s\n%s" %
              (url, mode, opened, log))
        if not opened:
            check("shell open" not in log, "url %s mode %d: nothing started" % (url, mode))
        check("register token=0 result=0" in log, "the arrived token registered")
        c.stop(p)

    # A second token: balloon and registration for both, no default-PIN check.
    c = Case("arrival_second", tokens=1)
    shipped_config(c)
    p = started(c)
    c.scenario("[library]\ntokens=2\n[token0]\ncontainers=a\n[token1]\ncontainers=b\n")
    before = c.log(p)
    drv("devchange", "arrival", PATH_0166)
    c.wait_log(p, "text=USB key inserted", 20)
    c.wait_log(p, "register token=1 result=0", 10)
    time.sleep(1.0)
    new = new_lines(c, p, before)
    check("register token=0 result=0" in new, "both tokens registered")
    check("timer TCheckDefaultUPIN" not in new, "no default-PIN check with two tokens")

    # A removal while every token still answers changes nothing, at the
    # notice nor when it is checked again 3 s later.
    before = c.log(p)
    calls_before = c.calls()
    drv("devchange", "removal", PATH_0166)
    c.wait_log(p, "usb removal: every token still answers", 10)
    c.wait_log(p, "removal check again: token gone=0", 10)
    check("remove_all_certs_from_store" not in c.calls()[len(calls_before):], "nothing removed")
    check("USB key removed" not in c.log(p), "no removal balloon")

    # One goes: the certificates are removed and re-registered, the balloon shows.
    c.scenario("[library]\ntokens=1\n[token0]\ncontainers=a\n")
    calls_before = c.calls()
    drv("devchange", "removal", PATH_0166)
    c.wait_log(p, "text=USB key removed", 10)
    new_calls = c.calls()[len(calls_before):]
    check("remove_all_certs_from_store provider=%s" % MS_PROVIDER in new_calls, "removed on removal")
    check(new_calls.find("remove_all_certs_from_store") < new_calls.rfind("container_load_all 0"),
          "re-registered after the removal\n" + new_calls)
    check("tokens after removal=1" in c.log(p), "one token left")
    c.stop(p)

    # After a removal every token that answers is registered: the first one
    # failing does not stop the second.
    c = Case("removal_one_fails", tokens=0)
    c.scenario("[library]\ntokens=3\n[token0]\ncontainers=a\n[token1]\ncontainers=b\n[token2]\ncontainers=c\n")
    shipped_config(c)
    p = started(c)
    c.wait_log(p, "register token=2 result=0", 20)
    c.scenario("[library]\ntokens=2\n[token0]\ninfo=5\ncontainers=a\n[token1]\ncontainers=b\n")
    calls_before = c.calls()
    drv("devchange", "removal", PATH_0166)
    c.wait_log(p, "text=USB key removed", 10)
    new_calls = c.calls()[len(calls_before):]
    removed = new_calls.find("remove_all_certs_from_store")
    check(removed >= 0 and new_calls.find("container_load_all 1", removed) > removed,
          "the answering second token registered after the removal\n" + new_calls)
    check("tokens after removal=2 unanswered=1" in c.log(p), "two found, one unanswered\n" + c.log(p))
    # The first answers again by the time the removal is checked again: its
    # certificates are registered then.
    c.scenario("[library]\ntokens=2\n[token0]\ncontainers=a\n[token1]\ncontainers=b\n")
    calls_before = c.calls()
    c.wait_log(p, "removal check again:", 10)
    check("container_load_all 0" in c.calls()[len(calls_before):],
          "the token that answers again is registered\n" + c.calls()[len(calls_before):])
    c.stop(p)


# ---- expiry warnings --------------------------------------------------------------

def group_expiry():
    today = datetime.date.today()
    rows = [  # (days setting, not-after, warns)
        (0, today, True),
        (0, today - datetime.timedelta(days=1), True),
        (30, today + datetime.timedelta(days=30), True),
        (29, today + datetime.timedelta(days=30), False),
        (5, datetime.date(2099, 1, 1), False),
    ]
    for days, when, warns in rows:
        c = Case("expiry_%d_%s" % (days, when.isoformat()), tokens=0)
        shipped_config(c, tips=1, days=days)
        p = started(c)
        c.scenario("[library]\ntokens=1\n[token0]\ncontainers=a|b\n[container 0 a]\ncert1=ca1\n"
                   "[container 0 b]\ncert2=cb2\n[cert ca1]\nsubject=CN=first\nnot_after=%s\n"
                   "[cert cb2]\nsubject=CN=second\nnot_after=%s\n" % (when.isoformat(), when.isoformat()))
        drv("devchange", "arrival", PATH_0166)
        if warns:
            # One box per certificate, each answered before the next shows.
            for subject in ("CN=first", "CN=second"):
                r = drv("answer", "Notice", 1, 20000)
                check(subject in r.stdout and "expires" in r.stdout, "box for %s\n%s" % (subject, r.stdout))
            wait_count(c, p, "msgbox answer=1", 2)
            check(c.log(p).count("msgbox caption=Notice flags=0x%x" % (0x40 | 0x40000)) == 2,
                  "two information boxes, topmost\n" + c.log(p))
        else:
            c.wait_log(p, "text=USB key inserted", 20)
            c.wait_log(p, "register token=0", 10)
            time.sleep(1.0)
            check("msgbox" not in c.log(p), "days %d, %s: no warning" % (days, when))
        c.stop(p)


def group_exit_in_expiry():
    """Exit from the tray menu while an expiry box is open: the exit
    completes (entries removed, CLOSE at the manager, exit code 0) and
    nothing runs on the form after it."""
    c = Case("exit_in_expiry", tokens=0)
    shipped_config(c, tips=1, days=30)
    mgrlog = os.path.join(c.dir, "fakemgr.log")
    mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 120000)
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = started(c)
    c.scenario("[library]\ntokens=1\n[token0]\ncontainers=a\n[container 0 a]\ncert1=ca1\n"
               "[cert ca1]\nsubject=CN=soon\nnot_after=%s\n" % datetime.date.today().isoformat())
    drv("devchange", "arrival", PATH_0166)
    drv("waitwin", "#32770", "Notice", 20000)
    check(drv("shows", "#32770", "Notice", check=False).returncode == 0, "the expiry box is open")
    drv("tray", 0x204)
    drv("menu", "keys", 3)
    try:
        p.wait(timeout=60)
    except Exception:
        check(False, "the monitor ended after the exit\n" + c.log(p))
        c.stop(p)
        return
    check(p.returncode == 0, "exit code 0 (got %r)\n%s" % (p.returncode, c.log(p)))
    calls = c.calls()
    check(calls.rfind("remove_all_certs_from_store") > calls.rfind("container_load_all 0") and
          calls.rfind("remove_all_certs_from_store") < calls.rfind("uninit_pkcs11"),
          "the certificates removed at the exit, before the library ends\n" + calls)
    guibed.wait_until(lambda: "0 CLOSE" in mg.read_text(mgrlog), 10, "CLOSE at the fake manager")
    check(drv("waitgone", "#32770", "Notice", 5000, check=False).returncode == 0, "no box left behind")
    log = c.log(p)
    check("form destroyed" in log and log.rfind("timer TCheckDefaultUPIN") < log.find("action exit"),
          "nothing of the arrival ran after the exit\n" + log)


def group_manager_reply():
    """Messages to the manager application: one that answers with a message
    of its own while it handles ours is served at once; a hung one times
    out and the monitor goes on."""
    c = Case("manager_reply", scenario="[library]\ntokens=1\n[token0]\ncontainers=a\n[container 0 a]\ncert1=x\n")
    shipped_config(c)
    mgrlog = os.path.join(c.dir, "fakemgr.log")
    mgr = mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 120000, "reply")
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = started(c)
    drv("send", "TSolvantex_TrayIcon", 0, "RegCert")
    guibed.wait_until(lambda: "reply answered=" in mg.read_text(mgrlog), 30, "the manager's reply done")
    check("0 LoadCert\nreply answered=1\n" in mg.read_text(mgrlog),
          "the manager's own message during LoadCert was answered\n" + mg.read_text(mgrlog))
    c.wait_log(p, "sent LoadCert answered=", 20)
    log = c.log(p)
    check(-1 < log.find("copydata data=2 text=reply-LoadCert") < log.find("sent LoadCert answered=1"),
          "the reply was served inside the send, which the manager then answered\n" + log)
    # A manager that hangs: the send gives up and the monitor goes on.
    drv("close", "TSolvantex_Mgr", "-")
    drv("waitgone", "TSolvantex_Mgr", "-", 10000)
    mgr.wait(timeout=20)
    hunglog = os.path.join(c.dir, "hungmgr.log")
    mg.DRV.spawn("fakemgr", guibed.windows_path(hunglog), 120000, "hang")
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    before = c.log(p)
    drv("send", "TSolvantex_TrayIcon", 0, "RegCert")
    guibed.wait_until(lambda: "sent LoadCert answered=0" in new_lines(c, p, before), 30, "the send to the hung one")
    drv("send", "TSolvantex_TrayIcon", 2, "still-here")
    c.wait_log(p, "copydata data=2 text=still-here", 20)
    check("0 LoadCert" in mg.read_text(hunglog), "the hung manager got LoadCert")
    c.stop(p)


# ---- closing ------------------------------------------------------------------------

def group_closing():
    c = Case("closing_exit", scenario="[library]\ntokens=1\n[token0]\ncontainers=a\n[container 0 a]\ncert1=x\n")
    shipped_config(c)
    mgrlog = os.path.join(c.dir, "fakemgr.log")
    mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 120000)
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = started(c)
    # The system menu's close hides; the program stays.
    drv("text", "TSolvantex_TrayIcon", "-")
    hwnd = "TSolvantex_TrayIcon"
    r = drv("close", hwnd, "-")
    time.sleep(1.0)
    check(p.poll() is None, "WM_CLOSE alone does not end the program")
    check(drv("shows", hwnd, "-", check=False).returncode != 0, "the window stays hidden")
    # The exit action.
    drv("tray", 0x204)
    drv("menu", "keys", 3)
    p.wait(timeout=30)
    log = c.log(p)
    calls = c.calls()
    order = [log.find("action exit"), log.find("destroy: watcher freed"), log.find("send CLOSE to=TSolvantex_Mgr found=1"),
             log.find("form destroyed")]
    check(all(x >= 0 for x in order) and order == sorted(order), "exit, then the destroy order\n" + log)
    check(calls.rfind("remove_all_certs_from_store") < calls.rfind("uninit_pkcs11"),
          "certificates removed before the library ends\n" + calls)
    guibed.wait_until(lambda: "0 CLOSE" in mg.read_text(mgrlog), 10, "CLOSE at the fake manager")
    del r

    # A failed initialisation: the box after 500 ms, then the end.
    c = Case("closing_init_failure", scenario="[library]\ninit=3\n")
    shipped_config(c)
    p = c.start()
    drv("answer", "Notice", 1, 20000)
    p.wait(timeout=30)
    log = c.log(p)
    check("init library=3" in log and "msgbox caption=Notice flags=0x20" in log, "the init error box\n" + log)
    check("form destroyed" in log, "the program ended after the box")

    # The end of the session: the destroy sequence inside WM_ENDSESSION, once.
    for how in ("close", "kill"):
        c = Case("closing_session_" + how, tokens=1)
        shipped_config(c)
        mgrlog = os.path.join(c.dir, "fakemgr.log")
        mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 60000)
        drv("waitwin", "TSolvantex_Mgr", "-", 20000)
        p = started(c)
        if how == "close":
            c.stop(p)
        else:
            # Ended right after WM_ENDSESSION: the sequence ran inside it.
            drv("endsession", "TSolvantex_TrayIcon", "kill")
            p.wait(timeout=30)
        log, calls = c.log(p), c.calls()
        check(log.count("form destroyed") == 1 and calls.count("uninit_pkcs11") == 1,
              "%s: the sequence ran once\n%s" % (how, log))
        check(calls.rfind("remove_all_certs_from_store") < calls.rfind("uninit_pkcs11"), how + ": removal first")
        guibed.wait_until(lambda: "0 CLOSE" in mg.read_text(mgrlog), 10, how + ": CLOSE at the fake manager")
        drv("close", "TSolvantex_Mgr", "-", check=False)


# ---- copy-data --------------------------------------------------------------------------

KEYS = [("IDS_STRING_UKEY_MESSAGE_GENKEY", "Generating key pair, please wait..."),
        ("IDS_STRING_UKEY_MESSAGE_GENKEYFAIL", "Failed to generate key pair"),
        ("IDS_STRING_UKEY_MESSAGE_GENKEYOK", "Key pair is generated successfully"),
        ("IDS_STRING_UKEY_MESSAGE_SIGNDATA", "Signing..."),
        ("IDS_STRING_UKEY_MESSAGE_SIGNFAIL", "Failed to sign data"),
        ("IDS_STRING_UKEY_MESSAGE_SIGNOK", "Done"),
        ("IDS_STRING_UKEY_MESSAGE_CERTWRITE", "Saving certificate, please wait..."),
        ("IDS_STRING_UKEY_MESSAGE_CERTWRITEOK", "Certificate is saved successfully"),
        ("IDS_STRING_UKEY_MESSAGE_CERTWRITEFAIL", "Failed to save certificate")]


def lang_text(c, key, builtin):
    text = mg.read_text(c.lang("EN_1033.lng"))
    for line in text.splitlines():
        if line.startswith(key + "="):
            return line.split("=", 1)[1]
    return builtin


def group_copydata():
    c = Case("copydata", scenario="[library]\ntokens=1\n[token0]\ncontainers=a\n[container 0 a]\ncert1=x\n")
    shipped_config(c)
    mgrlog = os.path.join(c.dir, "fakemgr.log")
    mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 300000)
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = started(c)
    rows = [(1, k, lang_text(c, k, b)) for k, b in KEYS] + [
        (1, "RegCert", "RegCert"), (1, "some progress", "some progress"), (0, "RegCert Now", "RegCert Now"),
        (2, "Hello", "Hello"), (1, "x" * 300, "x" * 255)]
    for data, text, shown in rows:
        before = c.log(p)
        drv("send", "TSolvantex_TrayIcon", data, text)
        new = new_lines(c, p, before)
        check("balloon id=1 ok=1 kind=4 seconds=10 title= text=%s\n" % shown in new,
              "dwData %d %r -> %r\n%s" % (data, text[:40], shown[:40], new))
        check("timer TRegCertXE" not in new, "no re-registration for %r" % text[:40])

    # "REGCERT" (any case): re-registration about 1 s later, then LoadCert.
    before = c.log(p)
    calls_before = c.calls()
    t0 = time.monotonic()
    drv("send", "TSolvantex_TrayIcon", 0, "REGCERT")
    c.wait_log(p, "send LoadCert to=TSolvantex_Mgr found=1", 10)
    took = time.monotonic() - t0
    check(0.8 <= took, "re-registration after about 1 s (%.2f s)" % took)
    new_calls = c.calls()[len(calls_before):]
    check(new_calls.find("remove_all_certs_from_store") < new_calls.find("container_addcert_to_store"),
          "removed, then registered again\n" + new_calls)
    check("balloon" not in new_lines(c, p, before), "no balloon for REGCERT")
    guibed.wait_until(lambda: "0 LoadCert" in mg.read_text(mgrlog), 10, "LoadCert at the fake manager")

    # "Update" with no box: the wait stops only.
    before = c.log(p)
    drv("send", "TSolvantex_TrayIcon", 0, "Update")
    new = new_lines(c, p, before)
    check("update wait stopped" in new and "balloon" not in new, "Update without a box\n" + new)

    # Malformed records change nothing and crash nothing.
    for cb, data in [(6, "480069004900"),       # "HiI" without a NUL: cut at cbData / 2
                     (7, "48006900490000"),     # odd length
                     (8, "null"),               # no data
                     (0, "4800000000"),         # no bytes
                     (1 << 20, "4100")]:        # a huge record
        before = c.log(p)
        drv("sendraw", "TSolvantex_TrayIcon", 0, cb, data, check=False)
        time.sleep(0.2)
        check(p.poll() is None, "cbData %d %s: still running" % (cb, data[:12]))
        new = new_lines(c, p, before)
        check("timer TRegCertXE" not in new, "cbData %d: nothing armed" % cb)
    check("text=HiI\n" in c.log(p), "a text without its NUL ends at cbData\n" + c.log(p))
    check("text=Hi\n" in c.log(p) or "text=HiI\n" in c.log(p), "odd cbData: whole units only")
    c.stop(p)


def group_update_box():
    # "Update" with the monitor's own box open answers it with No; another
    # program's box with the same title is left alone.
    today = datetime.date.today()
    c = Case("update_box", tokens=0)
    shipped_config(c, tips=1, days=0)
    p = started(c)
    other = mg.DRV.spawn("msgbox", "Notice", 30000)
    c.scenario("[library]\ntokens=1\n[token0]\ncontainers=a\n[container 0 a]\ncert1=ca1\n"
               "[cert ca1]\nnot_after=%s\n" % today.isoformat())
    drv("devchange", "arrival", PATH_0166)
    c.wait_log(p, "msgbox caption=Notice", 20)
    time.sleep(0.5)
    drv("send", "TSolvantex_TrayIcon", 0, "update")
    c.wait_log(p, "msgbox answer=7", 10)
    check(other.poll() is None, "the other program's box is still open")
    c.stop(p)
    other.wait(timeout=60)
    check("timeout" in other.output()[0], "nobody answered the other program's box\n%s" % (other.output(),))


# ---- session changes ---------------------------------------------------------------------------

def group_session():
    c = Case("session", scenario="[library]\ntokens=1\n[token0]\ncontainers=a\n[container 0 a]\ncert1=x\n")
    shipped_config(c)
    p = started(c)
    for reason, registers in [(1, True), (3, True), (8, True), (7, False), (2, False)]:
        before = c.log(p)
        drv("wts", reason)
        c.wait_log(p, "session change reason=%d" % reason, 10)
        time.sleep(0.3)
        new = new_lines(c, p, before)
        check(("register token=0 result=0" in new) == registers, "reason %d registers=%s\n%s" %
              (reason, registers, new))
    c.stop(p)


# ---- dialogs closed on removal ---------------------------------------------------------------------

def group_dialogs():
    c = Case("dialogs", tokens=1)
    shipped_config(c, tips=1, days=0)
    p = started(c)
    sysform = mg.DRV.spawn("window", "TCheckSysForm", "system check", 60000)
    other = mg.DRV.spawn("msgbox", "Notice", 40000)
    drv("waitwin", "TCheckSysForm", "-", 20000)
    # The last token goes.
    c.scenario("[library]\ntokens=0\n")
    drv("devchange", "removal", PATH_0166)
    c.wait_log(p, "text=USB key removed", 10)
    sysform.wait(timeout=30)
    check("closed" in sysform.output()[0], "the manager's TCheckSysForm got closed\n%s" % (sysform.output(),))
    log = c.log(p)
    check("close dialog TCheckSysForm found=1" in log, "the close was sent\n" + log)
    check("close own box found=0" in log, "no box of the monitor's own to answer\n" + log)
    check(other.poll() is None, "the other program's P_MSGTitle box is left alone")

    # With a box of the monitor's own open while the last token goes.
    today = datetime.date.today()
    c.scenario("[library]\ntokens=1\n[token0]\ncontainers=a\n[container 0 a]\ncert1=ca1\n"
               "[cert ca1]\nnot_after=%s\n" % today.isoformat())
    drv("devchange", "arrival", PATH_0166)
    c.wait_log(p, "msgbox caption=Notice", 20)
    c.scenario("[library]\ntokens=0\n")
    drv("devchange", "removal", PATH_0166)
    c.wait_log(p, "msgbox answer=7", 10)
    check("close own box found=1" in c.log(p), "the own box answered with No")
    check(other.poll() is None, "the other program's box still open")
    c.stop(p)
    other.wait(timeout=60)


# ---- the settings' reload path -------------------------------------------------------------------------

def group_settings_reload():
    # The advanced action re-reads the settings after its dialog; a changed
    # language is loaded, the form localised again and "LANGUAGE" sent.
    c = Case("settings_reload", tokens=1)
    shipped_config(c, language=1033)
    mgrlog = os.path.join(c.dir, "fakemgr.log")
    mg.DRV.spawn("fakemgr", guibed.windows_path(mgrlog), 120000)
    drv("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = started(c)
    for language, sent in [(1033, False), (2052, True)]:
        c.user_config("[APPConfig]\nLanguageID=%d\nCertTips=0\n" % language)
        before = c.log(p)
        drv("tray", 0x204)
        drv("menu", "keys", 2)
        # The settings dialog opens; closed, it saves nothing.
        drv("waitwin", "TProjectConfigForm", "-", 20000)
        drv("close", "TProjectConfigForm", "-")
        c.wait_log(p, "settings re-read language=%d" % language, 10)
        new = new_lines(c, p, before)
        check(("send LANGUAGE to=TSolvantex_Mgr found=1" in new) == sent, "language %d: LANGUAGE sent=%s\n%s" %
              (language, sent, new))
    guibed.wait_until(lambda: "0 LANGUAGE" in mg.read_text(mgrlog), 10, "LANGUAGE at the fake manager")
    check(mg.read_text(mgrlog).count("LANGUAGE") == 1, "sent once, for the change only")
    r = drv("text", "TSolvantex_TrayIcon", "-")
    check("\u786e\u5b9a" in r.stdout or "\u5173\u4e8e" in r.stdout, "the form in Chinese now\n" + r.stdout)
    c.stop(p)


# ---- the real road ------------------------------------------------------------------------------------

def helper(*args):
    return mg.S.wine([mg.ARGS.helper] + list(args), timeout=120)


def write_road(c):
    """The road's token for the case c: empty stores, the real library, the
    module and the stand-in winscard beside the program, and the writer's
    key pair with its certificate (container "road-cont") and a CA
    certificate on the virtual token. The fixtures folder, or None when the
    token could not be written."""
    import shutil
    import subprocess
    fixtures = os.path.join(mg.ARGS.workdir, "fixtures")
    if not os.path.exists(os.path.join(fixtures, "road.p12")):
        subprocess.run([sys.executable, mg.ARGS.fixtures_script, fixtures], check=True, timeout=300)
    r = mg.S.wine([mg.ARGS.stores, "--stores"], timeout=300)
    check(r.returncode == 0, "empty MY, ROOT and CA stores with their keys\n%s%s" % (r.stdout, r.stderr))
    for f in (mg.ARGS.real_mgr, mg.ARGS.module, mg.ARGS.winscard, mg.ARGS.writer):
        shutil.copy(f, os.path.join(c.app, os.path.basename(f)))
    r = mg.S.wine([os.path.join(c.app, os.path.basename(mg.ARGS.writer))], timeout=300,
                  env={"SOLVANTA_MGR_FIXTURES": guibed.windows_path(fixtures), "SOLVANTA_MGR_KEEP_TOKEN": "1"})
    if not check(r.returncode == 0, "the road written onto the token\n%s%s" % (r.stdout, r.stderr)):
        return None
    return fixtures


class Road:
    """The tray monitor on the real road: the writer's key pair, certificate
    and CA on the virtual token through the real library, the monitor
    started on it with the PC/SC bridge's winscard.dll beside it."""

    def __init__(self, name):
        import hashlib
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vtoken"))
        from vtctl import VtCtl
        self.c = Case(name)
        shipped_config(self.c)
        fixtures = write_road(self.c)
        self.written = fixtures is not None
        self.fixtures = fixtures or os.path.join(mg.ARGS.workdir, "fixtures")
        self.ee = guibed.windows_path(os.path.join(self.fixtures, "ee.der"))
        self.ee_sha1 = hashlib.sha1(open(os.path.join(self.fixtures, "ee.der"), "rb").read()).hexdigest().upper()
        self.root_sha1 = hashlib.sha1(open(os.path.join(self.fixtures, "root.der"), "rb").read()).hexdigest().upper()
        self.vt = VtCtl(40470, timeout=15.0).connect()
        self.p = None
        self.mgrlog = os.path.join(self.c.dir, "fakemgr.log")

    def start(self):
        mg.DRV.spawn("fakemgr", guibed.windows_path(self.mgrlog), 600000)
        drv("waitwin", "TSolvantex_Mgr", "-", 20000)
        self.p = started(self.c)
        return self.p

    def lines_since(self, before):
        return new_lines(self.c, self.p, before)

    def in_my(self):
        return helper("keyprov", self.ee, "road-cont", MS_PROVIDER, "1")

    def my_count(self):
        return helper("count", self.ee).returncode

    @staticmethod
    def thumbprints(store):
        """The SHA-1 names of the certificates of a store of the user, read
        from the registry."""
        import re
        r = mg.S.wine(["reg", "query", "HKCU\\Software\\Microsoft\\SystemCertificates\\%s\\Certificates" % store],
                      timeout=60)
        return set(m.upper() for m in re.findall(r"\\Certificates\\([0-9A-Fa-f]{40})", r.stdout))

    def removal_notice(self):
        """One removal notice; True when the monitor then counts no token."""
        return guibed.removal_notice(drv, PATH_0166, lambda: self.c.log(self.p))

    def arrival_registered(self, before, timeout=70):
        """The arrival notice; True once the monitor registered the token
        (after `before`, the log as it was before the card came back: the
        monitor's own search may find it first)."""
        drv("devchange", "arrival", PATH_0166)
        try:
            guibed.wait_until(lambda: "register token=0 result=0" in self.lines_since(before), timeout,
                              "registered after the arrival")
            return True
        except AssertionError as e:
            check(False, "%s\n%s" % (e, self.lines_since(before)))
            return False

    def answers(self, tag):
        """The monitor's process runs and its window answers a message."""
        if not check(self.p.poll() is None, "the monitor still runs (%s)" % tag):
            return False
        before = self.c.log(self.p)
        drv("send", "TSolvantex_TrayIcon", 2, tag)
        try:
            guibed.wait_until(lambda: "copydata data=2 text=%s" % tag in self.lines_since(before), 20,
                              "the monitor answers")
            return True
        except AssertionError as e:
            return check(False, str(e))

    def exactly_the_tokens(self, root_store, what):
        """MY holds the token's end entity and nothing else; ROOT as it was."""
        my = self.thumbprints("My")
        check(my == {self.ee_sha1}, "%s: MY holds exactly the token's certificate (%s)" % (what, sorted(my)))
        root = self.thumbprints("Root")
        check(root == root_store, "%s: ROOT unchanged (%s)" % (what, sorted(root ^ root_store)))

    def exit(self):
        """The menu's exit: entries removed, CLOSE, the end."""
        drv("tray", 0x204)
        drv("menu", "keys", 3)
        self.p.wait(timeout=60)
        check(self.my_count() == 0, "the exit removed the MY entry")
        guibed.wait_until(lambda: "0 CLOSE" in mg.read_text(self.mgrlog), 10, "CLOSE at the fake manager")

    def close(self):
        try:
            if not self.vt.status()["inserted"]:
                self.vt.insert(wait_ready=True)
            self.vt.pull_after(None)
        finally:
            self.vt.close()


def group_road():
    road = Road("road")
    if not road.written:
        return
    c, p = road.c, road.start()
    c.wait_log(p, "register token=0 result=0", 60)
    r = road.in_my()
    check(r.returncode == 0, "the end entity in MY with its key provider\n%s" % r.stdout)
    r = mg.S.wine(["reg", "query", "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates"])
    check(road.root_sha1 in r.stdout.upper(), "the CA in ROOT (%s)\n%s" % (road.root_sha1, r.stdout))

    # One removal notice while the card stays in: the entry stays, at the
    # notice and when the removal is checked again.
    before = c.log(p)
    check(not road.removal_notice(), "a notice while the card is in lets no token go")
    check("removal check again: token gone=0 tokens=1" in road.lines_since(before),
          "checked again, still there\n" + road.lines_since(before))
    check(road.in_my().returncode == 0, "the MY entry stays while the card is in")
    # One notice sent while the card is still in, the card taken out just
    # after: once TUSBRemove has run, MY holds nothing of the token.
    before = c.log(p)
    drv("devchange", "removal", PATH_0166)
    road.vt.remove()
    guibed.wait_until(lambda: "removal check again:" in road.lines_since(before), 30, "the removal checked again")
    new = road.lines_since(before)
    check("tokens after removal=0" in new, "the monitor counts no token after the removal\n" + new)
    check("text=USB key removed" in new, "the removal balloon\n" + new)
    check(road.my_count() == 0, "the MY entry is gone once the removal was checked again")
    # It comes back.
    road.vt.insert(wait_ready=True)
    before = c.log(p)
    drv("devchange", "arrival", PATH_0166)
    guibed.wait_until(lambda: "text=USB key inserted" in new_lines(c, p, before) and
                      "register token=0 result=0" in new_lines(c, p, before), 70, "back within the polls")
    r = road.in_my()
    check(r.returncode == 0, "the entry is back\n%s" % r.stdout)
    guibed.wait_balloon(drv)
    print("screenshot:", mg.S.screenshot("road_tray_balloon.png"))
    road.exit()
    road.close()


def group_road_pullout():
    """The card pulled at each APDU of a registration pass: after the
    removal and the next arrival MY holds exactly the token's certificate,
    and the monitor runs and answers throughout."""
    road = Road("road_pullout")
    if not road.written:
        return
    c, vt = road.c, road.vt
    p = road.start()
    c.wait_log(p, "register token=0 result=0", 60)
    root_store = road.thumbprints("Root")
    check(road.root_sha1 in root_store, "the CA in ROOT")
    road.exactly_the_tokens(root_store, "at the start")

    # One registration pass counted: from the arrival to "registered".
    vt.remove()
    check(road.removal_notice(), "the monitor lets the token go")
    before = c.log(p)
    vt.insert(wait_ready=True)
    vt.clear_log()
    if not road.arrival_registered(before):
        return
    count = len(vt.log()["entries"])
    print("registration pass: %d APDUs" % count, flush=True)
    check(count > 0, "the pass talks to the card")

    cells = []
    t0 = time.monotonic()
    for n in range(1, count + 1):
        fails = len(mg.FAILS)
        vt.remove()
        check(road.removal_notice(), "N=%d: the monitor lets the token go" % n)
        before = c.log(p)
        vt.insert(wait_ready=True)
        vt.pull_after(n)
        drv("devchange", "arrival", PATH_0166)
        # The pass ends, or the card is out.
        guibed.wait_until(lambda: not vt.status()["connected"] or
                          "register token=0 result=" in road.lines_since(before), 40, "N=%d: pulled or done" % n)
        if vt.status()["connected"]:
            vt.pull_after(None)
            cell = "not reached"
        else:
            new = road.lines_since(before)
            cell = "registered" if "register token=0 result=0" in new else "cut"
            # The card is out: the monitor is told and lets it go; nothing
            # of it stays registered.
            check(road.removal_notice(), "N=%d: the monitor lets the pulled token go" % n)
            my = road.thumbprints("My")
            check(my == set(), "N=%d: MY empty once the pulled token is gone (%s)" % (n, sorted(my)))
            before = c.log(p)
            vt.insert(wait_ready=True)
            road.arrival_registered(before)
        road.exactly_the_tokens(root_store, "N=%d" % n)
        road.answers("pullout-%d" % n)
        cells.append("%d:%s%s" % (n, cell, "" if len(mg.FAILS) == fails else "(FAIL)"))
        if p.poll() is not None:
            break
    print("pulled at each APDU of the pass (%d trials in %.0f s):\n  %s"
          % (len(cells), time.monotonic() - t0, " ".join(cells)), flush=True)
    road.exit()
    road.close()


def group_road_service():
    """pcscd stopped and started again while the monitor runs: the same
    monitor finds the token at the next arrival and registers it again."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
    import card_env
    road = Road("road_service")
    if not road.written:
        return
    c = road.c
    p = road.start()
    c.wait_log(p, "register token=0 result=0", 60)
    root_store = road.thumbprints("Root")
    road.exactly_the_tokens(root_store, "at the start")
    pid = p.pid
    with card_env.pcscd_stopped(mg.ARGS.card_env):
        # The service is gone: so is the card for the monitor.
        check(road.removal_notice(), "the monitor lets the token go while pcscd is stopped")
        my = road.thumbprints("My")
        check(my == set(), "MY empty while pcscd is stopped (%s)" % sorted(my))
        road.answers("service-down")
        before = c.log(p)
    # pcscd runs again with the token in its reader.
    road.arrival_registered(before)
    check(p.poll() is None and p.pid == pid, "the same monitor process")
    road.exactly_the_tokens(root_store, "after pcscd came back")
    road.answers("service-back")
    # And once more: a second stop and start, the token also pulled while
    # pcscd is away (it is put back as pcscd comes up).
    with card_env.pcscd_stopped(mg.ARGS.card_env):
        road.vt.remove()
        check(road.removal_notice(), "the monitor lets the token go (second stop)")
        before = c.log(p)
    road.arrival_registered(before)
    road.exactly_the_tokens(root_store, "after the second restart")
    road.answers("service-back-2")
    road.exit()
    road.close()


GROUPS = {"register": group_register, "arrival": group_arrival, "expiry": group_expiry,
          "closing": group_closing, "copydata": group_copydata, "update_box": group_update_box,
          "session": group_session, "dialogs": group_dialogs, "settings_reload": group_settings_reload,
          "exit_in_expiry": group_exit_in_expiry, "manager_reply": group_manager_reply,
          "road": group_road, "road_pullout": group_road_pullout, "road_service": group_road_service}


def run_groups(groups, what):
    """The command line of the monitor's GUI test scripts: one group of
    `groups` on the GUI bed; 0 when all its checks held."""
    ap = argparse.ArgumentParser()
    ap.add_argument("group", choices=sorted(groups))
    ap.add_argument("--monitor", required=True)
    ap.add_argument("--dist", required=True)
    ap.add_argument("--fake", required=True)
    ap.add_argument("--probe", required=True)
    for extra in ("--real-mgr", "--module", "--winscard", "--writer", "--helper", "--stores", "--fixtures-script",
                  "--workdir", "--card-env"):
        ap.add_argument(extra)
    mg.ARGS = ap.parse_args()
    mg.S, mg.DRV = guibed.test_session([mg.ARGS.monitor])
    with mg.S:
        try:
            groups[mg.ARGS.group]()
        except AssertionError as e:
            mg.FAILS.append(str(e))
            print("FAIL:", e)
    if mg.FAILS:
        print("%d check(s) failed" % len(mg.FAILS))
        for f in mg.FAILS:
            print("  -", f.splitlines()[0] if f else f)
        return 1
    print("%s %s: passed" % (what, mg.ARGS.group))
    return 0


def main():
    return run_groups(GROUPS, "main form")

if __name__ == "__main__":
    sys.exit(main())
