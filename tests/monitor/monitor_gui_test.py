#!/usr/bin/env python3
"""SolvantexMon on the GUI bed: start-up, one instance, language files, tray
components and USB notifications, against the scripted fake SolvantaMgr.dll.

  monitor_gui_test.py <group> --monitor EXE --dist DIR --fake DLL --probe EXE

Each case installs the program in a folder of its own (the exe, its shipped
config\\ and Languages\\ as the case changes them, the fake library beside
it), clears the user's configuration folder in the prefix, starts the program
with the test switch (SOLVANTEX_MON_TEST) and reads what it logged, what the
fake library logged, the registry and the files. Screenshots stay in the
test's output folder.
"""
import argparse
import os
import shutil
import sys
import time

import guibed

ARGS = None
S = None
DRV = None
FAILS = []


utf16_file = guibed.write_utf16
read_text = guibed.read_text


def appdata():
    return guibed.appdata(S.prefix)


def config_dir():
    return os.path.join(appdata(), "Tarnely", "Solvantex")


def check(cond, what):
    if not cond:
        FAILS.append(what)
        print("FAIL:", what)
    return cond


class Case:
    """One installed copy of the program and its logs."""

    def __init__(self, name, tokens=1, scenario=None):
        self.name = name
        self.dir = os.path.join(S.outdir, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.app = os.path.join(self.dir, "app")
        os.makedirs(self.app)
        shutil.copy(ARGS.monitor, os.path.join(self.app, "SolvantexMon.exe"))
        shutil.copy(ARGS.fake, os.path.join(self.app, "SolvantaMgr.dll"))
        shutil.copytree(os.path.join(ARGS.dist, "config"), os.path.join(self.app, "config"))
        shutil.copytree(os.path.join(ARGS.dist, "Languages"), os.path.join(self.app, "Languages"))
        self.scenario_path = os.path.join(self.dir, "scenario.ini")
        self.calls_path = os.path.join(self.dir, "calls.log")
        self.scenario(scenario if scenario is not None else "[library]\ntokens=%d\n" % tokens)
        shutil.rmtree(os.path.join(appdata(), "Tarnely"), ignore_errors=True)
        self.runs = 0
        self.procs = []

    def scenario(self, text):
        with open(self.scenario_path, "w") as f:
            f.write(text)

    def lang(self, name):
        return os.path.join(self.app, "Languages", name)

    def user_config(self, text):
        os.makedirs(config_dir(), exist_ok=True)
        with open(os.path.join(config_dir(), "MgrConfig.ini"), "w") as f:
            f.write(text.replace("\n", "\r\n"))

    def start(self, boxes="real", sleep=50):
        self.runs += 1
        log = os.path.join(self.dir, "mon%d.log" % self.runs)
        env = {
            "SOLVANTEX_MON_TEST": "log=%s;boxes=%s;sleep=%d" % (guibed.windows_path(log), boxes, sleep),
            "SOLVANTA_FAKE_MGR_SCENARIO": guibed.windows_path(self.scenario_path),
            "SOLVANTA_FAKE_MGR_LOG": guibed.windows_path(self.calls_path),
        }
        p = S.spawn([os.path.join(self.app, "SolvantexMon.exe")], env=env)
        p.log_path = log
        p.started = time.monotonic()
        self.procs.append(p)
        return p

    @staticmethod
    def log(p):
        return read_text(p.log_path)

    def calls(self):
        return read_text(self.calls_path)

    def wait_log(self, p, text, timeout=30):
        return guibed.wait_until(lambda: text in self.log(p) or (p.poll() is not None and text in self.log(p)),
                                 timeout, "%r in the monitor's log\n%s" % (text, self.log(p)))

    def ready(self, p):
        self.wait_log(p, "main window")
        DRV("waitwin", "TSolvantex_TrayIcon", "-", 20000)

    def stop(self, p):
        """Ends a running monitor the way the end of the session does."""
        if p.poll() is None:
            DRV("endsession", "TSolvantex_TrayIcon", check=False)
            try:
                p.wait(timeout=30)
            except Exception:
                pass
        check(p.poll() is not None, "%s: the monitor ended" % self.name)
        return p.returncode

    def run_once(self, **kw):
        p = self.start(**kw)
        self.ready(p)
        self.stop(p)
        return self.log(p)


def registry_csp():
    r = S.wine(["reg", "query", r"HKCU\Software\Tarnely", "/v", "Solvantex"], timeout=60)
    for line in r.stdout.splitlines():
        if "Solvantex" in line and "REG_SZ" in line:
            return line.split("REG_SZ", 1)[1].strip()
    return None


def user_language_id():
    text = read_text(os.path.join(config_dir(), "MgrConfig.ini"))
    for line in text.splitlines():
        if line.startswith("LanguageID="):
            return line.split("=", 1)[1].strip()
    return None


# ---- start-up ----------------------------------------------------------------

def group_startup():
    shipped_info = read_text(os.path.join(ARGS.dist, "Languages", "LanguageInfo.ini"))
    zero_info = ("[A]\nLanguageID=1033\nLanguageFile=EN_1033.lng\nLanguageCSP=en.dll\n"
                 "[B]\nLanguageID=0\nLanguageFile=ZH_2052.lng\nLanguageCSP=zero.dll\n")
    twice_info = ("[First]\nLanguageID=2052\nLanguageFile=ZH_2052.lng\nLanguageCSP=first.dll\n"
                  "[Second]\nLanguageID=2052\nLanguageFile=EN_1033.lng\nLanguageCSP=second.dll\n")
    rows = [
        # name, user MgrConfig.ini (None: missing, "DIR": unreadable), LanguageInfo.ini (None: missing),
        # configured id, chosen index, file loaded, registry value
        ("user2052", "[APPConfig]\nLanguageID=2052\n", shipped_info, 2052, 1, "ZH_2052.lng", "Solvantex.ZH.dll"),
        ("not_listed", "[APPConfig]\nLanguageID=1041\n", shipped_info, 1041, -1, "EN_1033.lng", "Solvantex.EN.dll"),
        ("same_id_twice", "[APPConfig]\nLanguageID=2052\n", twice_info, 2052, 0, "ZH_2052.lng", "first.dll"),
        ("info_empty", "[APPConfig]\nLanguageID=2052\n", "", 2052, -1, "EN_1033.lng", "Solvantex.EN.dll"),
        ("info_missing", "[APPConfig]\nLanguageID=2052\n", None, 2052, -1, "EN_1033.lng", "Solvantex.EN.dll"),
        ("config_missing", None, zero_info, 1033, 0, "EN_1033.lng", "en.dll"),
        ("config_unreadable", "DIR", zero_info, 0, 1, "ZH_2052.lng", "zero.dll"),
        ("language_abc", "[APPConfig]\nLanguageID=abc\n", zero_info, 1033, 0, "EN_1033.lng", "en.dll"),
    ]
    for name, user, info, configured, index, file, csp in rows:
        c = Case("startup_" + name)
        info_path = c.lang("LanguageInfo.ini")
        if info is None:
            os.remove(info_path)
        else:
            utf16_file(info_path, info)
        if user == "DIR":
            os.makedirs(os.path.join(config_dir(), "MgrConfig.ini"))
        elif user is not None:
            c.user_config(user)
        log = c.run_once()
        check("configured language=%d\n" % configured in log, "%s: configured %d\n%s" % (name, configured, log))
        check(" chosen=%d file=%s\n" % (index, file) in log, "%s: chosen %d %s\n%s" % (name, index, file, log))
        check("language file loaded " in log and file in log.split("language file loaded", 1)[1].split("\n")[0],
              "%s: %s loaded" % (name, file))
        check("registry csp=%s\n" % csp in log, "%s: registry line %s" % (name, csp))
        got = registry_csp()
        check(got == csp, "%s: HKCU\\Software\\Tarnely Solvantex = %r, want %r" % (name, got, csp))
        if user == "DIR":
            # The folder stays; the main form then reads every key's default.
            check("copy MgrConfig.ini ok=0" in log, "%s: the copy over a folder fails" % name)
            check("settings language=1033 default_pin=1" in log, "%s: defaults in the main form" % name)
        else:
            # The shipped copy replaced the user's: the main form reads 1033.
            check(user_language_id() == "1033", "%s: user's MgrConfig.ini replaced (%r)" % (name, user_language_id()))
            check("settings language=1033 " in log, "%s: the main form reads the replaced file\n%s" % (name, log))

    # ClientConfig.txt: copied when missing, never replaced.
    c = Case("startup_clientconfig")
    c.run_once()
    target = os.path.join(config_dir(), "update", "ClientConfig.txt")
    check(os.path.isfile(target), "ClientConfig.txt copied into the update folder")
    with open(target, "w") as f:
        f.write("the user's own\n")
    log = c.run_once()
    check(open(target).read() == "the user's own\n", "ClientConfig.txt never replaced")
    check("copy ClientConfig.txt ok=0" in log, "the second copy is refused")


# ---- one instance ---------------------------------------------------------------

def group_instance():
    c = Case("instance_second")
    first = c.start()
    c.ready(first)
    before = len(c.calls())
    second = c.start()
    try:
        second.wait(timeout=20)
    except Exception:
        pass
    elapsed = time.monotonic() - second.started
    log2 = c.log(second)
    check(second.poll() is not None, "the second start ended")
    check(elapsed < 2.0, "the second start ended within 2 s (%.2f s)" % elapsed)
    print("second start ended after %.2f s (Wine process start included)" % elapsed)
    for step in ("configured language=", "copy MgrConfig.ini", "language list result=", "registry csp=",
                 "second instance"):
        check(step in log2, "second start: %r done\n%s" % (step, log2))
    check("main window" not in log2 and "msgbox" not in log2, "second start: no window, no message")
    check(c.calls()[before:] == "", "second start: the manager library was not called")
    r = DRV("count", "TSolvantex_TrayIcon")
    check(r.stdout.strip() == "1", "one main window (%s)" % r.stdout.strip())
    check(first.poll() is None, "the first instance still runs")
    c.stop(first)

    # Two starts at the same moment: one runs, one ends.
    c = Case("instance_race")
    a = c.start()
    b = c.start()
    guibed.wait_until(lambda: sum("main window" in c.log(p) or "second instance" in c.log(p) for p in (a, b)) == 2,
                      40, "both starts decided")
    winners = [p for p in (a, b) if "main window" in c.log(p)]
    check(len(winners) == 1, "exactly one of two simultaneous starts runs (%d)" % len(winners))
    for p in (a, b):
        c.stop(p)


# ---- language files ---------------------------------------------------------------

def group_language():
    # No language file at all: the built-in texts.
    c = Case("language_none")
    for f in ("EN_1033.lng", "ZH_2052.lng"):
        os.remove(c.lang(f))
    log = c.run_once()
    check("language file missing" in log, "no file: nothing loaded")
    check("tray add id=1 ok=1 tip=PKI管理工具   \n" in log, "built-in P_Caption as the tip\n" + log)
    check("init_pkcs11 module=n8dex_pkcs11.dll\n" in c.calls(), "built-in PKCS11Name given to the library")

    # The shipped English file: every text from it.
    c = Case("language_english")
    log = c.run_once()
    check("tray add id=1 ok=1 tip=PKI manager\n" in log, "English P_Caption\n" + log)
    check("init_pkcs11 module=solvantex_pkcs11.dll\n" in c.calls(), "shipped PKCS11Name")

    # Only P_MSGTitle: blanks and empties by group; PKCS11Name a blank, the
    # library refuses it, and a real message box reports K_pkcs11Init_Error.
    c = Case("language_only_title", scenario="[library]\ninit=3\ntokens=1\n")
    utf16_file(c.lang("EN_1033.lng"), "[Caption]\nP_MSGTitle=Only Title\n")
    p = c.start(boxes="real")
    c.wait_log(p, "msgbox caption=Only Title")
    r = DRV("answer", "Only Title", 7, 15000, check=False)
    check(r.returncode == 0, "the driver answered the real box\n" + r.stdout)
    try:
        p.wait(timeout=30)
    except Exception:
        pass
    log = c.log(p)
    check(p.poll() is not None and "end\n" in log, "the program ends after the box\n" + log)
    check("init_pkcs11 module= \n" in c.calls(), "PKCS11Name became a single blank\n" + c.calls())
    check("msgbox caption=Only Title flags=0x20 text=\n" in log, "K_pkcs11Init_Error empty, question icon\n" + log)
    check("msgbox answer=7" in log, "the box returned the driver's answer")
    check("tray add" not in log, "no icon for a failed library")
    # The same box answered by the test switch itself: no window is shown.
    p = c.start(boxes="1")
    try:
        p.wait(timeout=30)
    except Exception:
        pass
    log = c.log(p)
    check(p.poll() is not None and "msgbox answer=1\n" in log and "end\n" in log,
          "a scripted answer ends the program without a box\n" + log)

    # Quoted values keep their inner blanks; keys ignore case; misspelt keys
    # are read as spelt (a correctly spelt variant is not the key).
    c = Case("language_quoted")
    utf16_file(c.lang("EN_1033.lng"), '[Caption]\nP_MSGTitle=T\np_caption="  spaced caption  "\n'
                                      'PKCS11Name=solvantex_pkcs11.dll\n'
                                      'Main_Form_PopupMenu_listMain=  Show  \n')
    log = c.run_once()
    check("tip=  spaced caption  \n" in log, "quoted P_Caption kept its blanks\n" + log)

    # The Chinese file renders: the menu and the About window in Chinese.
    c = Case("language_chinese")
    c.user_config("[APPConfig]\nLanguageID=2052\n")
    p = c.start()
    c.ready(p)
    DRV("tray", 0x204)
    c.wait_log(p, "menu open at")
    DRV("waitwin", "#32768", "-", 5000)
    time.sleep(0.5)  # the menu paints after it is mapped
    S.screenshot("chinese_menu.png")
    DRV("menu", "escape")
    c.wait_log(p, "menu closed item=0")
    c.stop(p)


# ---- tray components ------------------------------------------------------------

def group_tray():
    # No token at start: no icon; TaskbarCreated then adds none.
    c = Case("tray_no_token", tokens=0)
    p = c.start()
    c.ready(p)
    DRV("postreg", "TSolvantex_TrayIcon", "TaskbarCreated")
    c.wait_log(p, "taskbar created, icon visible=0")
    check("tray add" not in c.log(p), "no icon without a token\n" + c.log(p))
    c.stop(p)

    c = Case("tray_token")
    mgr_log = os.path.join(c.dir, "fakemgr.log")
    mgr = DRV.spawn("fakemgr", guibed.windows_path(mgr_log), 120000)
    DRV("waitwin", "TSolvantex_Mgr", "-", 20000)
    p = c.start()
    c.ready(p)
    log = c.log(p)
    check("tray add id=1 ok=1 tip=PKI manager\n" in log, "icon with the P_Caption tip\n" + log)
    # The application's title is P_Caption too.
    check(DRV("waitwin", "TSolvantex_Application", "PKI manager", 10000, check=False).returncode == 0,
          "the application window titled P_Caption")
    # TaskbarCreated re-adds a visible icon.
    n = c.log(p).count("tray add")
    DRV("postreg", "TSolvantex_TrayIcon", "TaskbarCreated")
    c.wait_log(p, "taskbar created, icon visible=1")
    guibed.wait_until(lambda: c.log(p).count("tray add") == n + 1, 10, "the icon added again")
    # Right click: the menu at the cursor; the driver closes it.
    DRV("tray", 0x204)
    log = c.wait_log(p, "menu open at") and c.log(p)
    DRV("waitwin", "#32768", "-", 5000)
    time.sleep(0.5)
    S.screenshot("tray_menu.png")
    DRV("menu", "escape")
    c.wait_log(p, "menu closed item=0")
    # Down, Enter: the first item, the manager application's start. The keys
    # go once the menu is open again.
    opened = c.log(p).count("menu open at")
    DRV("tray", 0x204)
    guibed.wait_until(lambda: c.log(p).count("menu open at") > opened, 10, "the menu open again")
    DRV("waitwin", "#32768", "-", 5000)
    DRV("menu", "keys", 1)
    c.wait_log(p, "menu closed item=101")
    c.wait_log(p, "shell open file=")
    check("N8DexPKIMgr.exe" in c.log(p).split("shell open file=", 1)[1].split("\n")[0],
          "the manager application's program file")
    # Double click: the default item.
    k = c.log(p).count("action show-main")
    DRV("tray", 0x203)
    c.wait_log(p, "default item 101")
    guibed.wait_until(lambda: c.log(p).count("action show-main") == k + 1, 10, "show-main by double click")
    # Exit from the menu: the form goes, CLOSE reaches the manager window,
    # the library is uninitialised.
    DRV("tray", 0x204)
    DRV("menu", "keys", 3)
    try:
        p.wait(timeout=30)
    except Exception:
        pass
    log = c.log(p)
    check("action exit" in log and "form destroyed" in log and p.poll() is not None, "exit from the menu\n" + log)
    check("uninit_pkcs11" in c.calls(), "uninit_pkcs11 at the end")
    # The token's certificates were registered at start, which set the
    # smart-card provider's name the removal uses.
    check("remove_all_certs_from_store provider=Microsoft Base Smart Card Crypto Provider" in c.calls(),
          "certificates removed under the provider they were registered with")
    guibed.wait_until(lambda: os.path.exists(mgr_log) and "CLOSE" in read_text(mgr_log), 10, "CLOSE received")
    check(read_text(mgr_log).splitlines() == ["0 CLOSE"], "the manager window got CLOSE: %r" % read_text(mgr_log))
    DRV("close", "TSolvantex_Mgr", "-", check=False)
    mgr.wait(timeout=30)

    # The components on their own: timers, and the tray icon's cuts.
    r = S.wine([ARGS.probe, "timers"], timeout=60)
    check(r.returncode == 0, "timers probe (status %d)\n%s" % (r.returncode, r.stdout))
    probe_log = os.path.join(S.outdir, "probe.log")
    if os.path.exists(probe_log):
        os.remove(probe_log)
    env = {"SOLVANTEX_MON_TEST": "log=%s" % guibed.windows_path(probe_log)}
    p = S.spawn([ARGS.probe, "tray", "@long", "@long"], env=env)
    guibed.wait_until(lambda: "probe ready" in read_text(probe_log), 30, "the probe's icon")
    log = read_text(probe_log)
    tip = log.split("tip=", 1)[1].split("\n")[0]
    balloon = [l for l in log.splitlines() if l.startswith("balloon ")][0].split(" text=", 1)[1]
    check(tip == "x" * 126, "tip cut to 127 units before the pair (%d)" % len(tip))
    check(balloon == "x" * 254,
          "balloon text cut to 255 on a character boundary (%d)" % (len(balloon.encode("utf-16-le")) // 2))
    check(" ok=1 " in [l for l in log.splitlines() if l.startswith("balloon ")][0], "the shell took the balloon")
    DRV("close", "TMonProbe", "-", check=False)
    p.wait(timeout=30)
    # Short texts stand whole.
    os.remove(probe_log)
    p = S.spawn([ARGS.probe, "tray", "Tip 证书", "余额 balloon text"], env=env)
    guibed.wait_until(lambda: "probe ready" in read_text(probe_log), 30, "the probe's icon")
    log = read_text(probe_log)
    check("tip=Tip 证书\n" in log and "text=余额 balloon text\n" in log, "short tip and balloon whole\n" + log)
    # A double click runs the default item of the probe's menu.
    DRV("tray", 0x203)
    guibed.wait_until(lambda: "command 202" in read_text(probe_log), 10, "the default item by double click")
    DRV("close", "TMonProbe", "-", check=False)
    p.wait(timeout=30)


# ---- USB notifications ------------------------------------------------------------

def group_usb():
    rows = [
        ("\\\\?\\USB#VID_096E&PID_0166#5&1a&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0x0166, 1),
        ("\\\\?\\usb#vid_096e&pid_0165#5&1a&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0x0165, 1),
        ("\\\\?\\USB#ROOT_HUB30#4&2f&0&0#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0, 1),
        ("\\\\?\\USB#VID_1234&PID_12", 0x12, 0),
        ("\\\\?\\USB#VID_1234&PID_01G6#x#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0, 1),
        ("\\\\?\\USB#VID_1234&PID_F703#x#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0xF703, 1),
        ("\\\\?\\USB#VID_1234&PID_0167#x#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0x0167, 0),
    ]
    c = Case("usb_table", tokens=0)
    p = c.start()
    c.ready(p)
    for path, pid, handled in rows:
        before = c.log(p)
        DRV("devchange", "arrival", path)
        guibed.wait_until(lambda: c.log(p).count("usb arrival pid=") == before.count("usb arrival pid=") + 2 and
                          c.log(p).count("usb arrival handled=") == before.count("usb arrival handled=") + 1,
                          10, "both watchers saw it, the form's handled it")
        new = c.log(p)[len(before):]
        check("usb arrival pid=0x%04x path=%s\n" % (pid, path) in new, "pid 0x%04x from %s\n%s" % (pid, path, new))
        check("usb arrival handled=%d" % handled in new, "%s handled=%d" % (path, handled))
        sleeps = "sleep arrival 2000\nsleep arrival 100\n" in new
        check(sleeps == bool(handled), "%s: the arrival sleeps %s" % (path, "ran" if handled else "skipped"))
        DRV("devchange", "removal", path)
        c.wait_log(p, "usb removal pid=0x%04x" % pid, 10)
    c.stop(p)

    # Arrival of a token: found on the poll, the icon shows, and the balloon.
    c = Case("usb_arrival_balloon", tokens=0)
    c.user_config("[APPConfig]\nLanguageID=2052\n")
    p = c.start()
    c.ready(p)
    check("tray add" not in c.log(p), "no icon before the token")
    c.scenario("[library]\ntokens=1\n")
    DRV("devchange", "arrival", rows[0][0])
    c.wait_log(p, "balloon id=1 ok=1 kind=1 seconds=10 title= text=USBKey已插入", 20)
    check("tray add id=1 ok=1" in c.log(p), "icon shown once the token is found")
    time.sleep(1.0)
    DRV("cursor", 800, 610)
    DRV("tray", 0x204)
    DRV("waitwin", "#32768", "-", 5000)
    time.sleep(0.5)
    shot = S.screenshot("tray_balloon_menu.png")
    print("screenshot:", shot)
    check("menu open at 800,610\n" in c.log(p), "the menu at the cursor\n" + c.log(p))
    DRV("menu", "escape")
    c.wait_log(p, "menu closed item=0")
    c.stop(p)


# ---- the real library -----------------------------------------------------------

def real_case(name):
    """The program with the real SolvantaMgr.dll, the tree's module and the
    PC/SC bridge's winscard.dll beside it."""
    c = Case(name)
    for f in (ARGS.real_mgr, ARGS.module, ARGS.winscard):
        shutil.copy(f, os.path.join(c.app, os.path.basename(f)))
    return c


def group_card():
    c = real_case("card_token")
    p = c.start()
    c.ready(p)
    log = c.log(p)
    check("init library=0 module=solvantex_pkcs11.dll" in log, "the real library bound the module\n" + log)
    check("tokens found=1" in log, "the virtual token found at start\n" + log)
    check("tray add id=1 ok=1 tip=PKI manager\n" in log, "the icon with its tip\n" + log)
    S.screenshot("card_tray.png")
    c.stop(p)
    check("form destroyed" in c.log(p), "the form went at the end of the session")


GROUPS = {"card": group_card, "startup": group_startup, "instance": group_instance, "language": group_language,
          "tray": group_tray, "usb": group_usb}


def main():
    global ARGS, S, DRV
    ap = argparse.ArgumentParser()
    ap.add_argument("group", choices=sorted(GROUPS))
    ap.add_argument("--monitor", required=True)
    ap.add_argument("--dist", required=True)
    ap.add_argument("--fake", required=True)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--real-mgr")
    ap.add_argument("--module")
    ap.add_argument("--winscard")
    ARGS = ap.parse_args()
    S, DRV = guibed.test_session([ARGS.monitor, ARGS.probe])
    with S:
        try:
            GROUPS[ARGS.group]()
        except AssertionError as e:
            FAILS.append(str(e))
            print("FAIL:", e)
    if FAILS:
        print("%d check(s) failed" % len(FAILS))
        return 1
    print("monitor %s: passed" % ARGS.group)
    return 0


if __name__ == "__main__":
    sys.exit(main())
