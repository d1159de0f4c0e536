#!/usr/bin/env python3
"""The tray icon component on the GUI bed, through the components probe: an
icon with every event bound, each event logged by the probe. The driver
injects the shell's callbacks (Wine's shell never sends the balloon notices),
moves the cursor and minimises and restores the probe's form.

  components_gui_test.py --probe EXE
"""
import argparse
import os
import re
import subprocess
import sys

import guibed

ARGS = None
S = None
DRV = None
FAILS = []
LOG = None

read_text = guibed.read_text

WM_SYSCOMMAND = 0x112
SC_MINIMIZE = 0xF020
SC_RESTORE = 0xF120
WM_APP = 0x8000
FORM = "TMonProbeForm"
HANDLER = "TSolvantex_TrayHandler"


def tray_colours(png):
    """Counts of red, blue and yellow pixels in the notification area (the
    bottom right of the virtual desktop), where the probe's icon sits: the
    three images are the hand (red), the question (blue) and the
    exclamation (yellow) icons."""
    out = subprocess.run(["convert", png, "-crop", "80x20+944+748", "+repage", "txt:-"], check=True,
                         capture_output=True, text=True, timeout=30).stdout
    counts = {"red": 0, "blue": 0, "yellow": 0}
    for m in re.finditer(r"#([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})([0-9A-Fa-f]{2})", out):
        r, g, b = (int(x, 16) for x in m.groups())
        if r > 180 and g < 110 and b < 110:
            counts["red"] += 1
        elif b > 150 and r < 120 and b - g > 50:
            counts["blue"] += 1
        elif r > 180 and g > 150 and b < 90:
            counts["yellow"] += 1
    return counts


def dominant(c):
    best = max(c, key=c.get)
    return best if c[best] >= 10 else None


def check(cond, what):
    if not cond:
        FAILS.append(what)
        print("FAIL:", what)
    return cond


def log():
    return read_text(LOG) if os.path.exists(LOG) else ""


def events_since(mark):
    return [l[len("event "):] for l in log()[mark:].splitlines() if l.startswith("event ")]


def wait_log(text, mark=0, timeout=30, count=1):
    guibed.wait_until(lambda: log()[mark:].count(text) >= count, timeout, repr(text))


def start_probe(answer):
    if os.path.exists(LOG):
        os.remove(LOG)
    env = {"SOLVANTEX_MON_TEST": "log=%s" % guibed.windows_path(LOG)}
    p = S.spawn([ARGS.probe, "events", answer], env=env)
    wait_log("probe ready", timeout=30)
    return p


def cursor(x, y):
    """Moves the cursor until the probe sees it there."""
    want = "cursor at %d,%d\n" % (x, y)

    def seen():
        DRV("cursor", x, y)
        mark = len(log())
        DRV("post", FORM, WM_APP + 7, 0, 0)
        guibed.wait_until(lambda: "cursor at" in log()[mark:], 10, "the probe's cursor position")
        return want in log()[mark:]
    guibed.wait_until(seen, 10, "the cursor at %d,%d" % (x, y), step=0.1)


def setting(n, on):
    mark = len(log())
    DRV("post", FORM, WM_APP + n, 1 if on else 0, 0)
    wait_log("setting %d=%d" % (n, 1 if on else 0), mark)


def close_probe(p):
    mark = len(log())
    DRV("close", FORM, "-")
    p.wait(timeout=30)
    check(p.returncode == 0, "probe ended with 0 (%s)" % p.returncode)
    check("form procedure restored=1" in log()[mark:], "the form's own procedure back once the icon went\n" + log())
    check("handler window freed=1" in log()[mark:], "the handler window freed with the last icon")


def startup_hidden():
    # OnStartup answering false keeps the form hidden.
    p = start_probe("hide")
    text = log()
    check("event startup show=1" in text, "OnStartup called with ShowMainForm true\n" + text)
    check("probe ready form visible=0" in text, "form hidden by a false answer\n" + text)
    check(DRV("shows", FORM, "-", check=False).returncode == 1, "the form is not on screen")
    close_probe(p)


def defaults_and_handler(text):
    check("defaults enabled=1 show_hint=1 icon_visible=0 left_popup=0 version3=0 minimize=0" in text,
          "published defaults\n" + text)
    check("form procedure hooked=1" in text, "the form's procedure hooked by the icon")
    check("event startup show=1" in text and "probe ready form visible=1" in text, "a true answer shows the form")
    check("tray add" not in text, "no icon before it is made visible")
    check("tip with ShowHint off=[] on=[probe icon]" in text, "the tip only while ShowHint is on")
    # The handler window answers 1 to the end-of-life messages and stays.
    for msg in (0x02, 0x10, 0x11, 0x12, 0x16, 0x82):
        r = DRV("sendmsg", HANDLER, msg, 0, 0)
        check(r.stdout.strip() == "result 1", "handler answers 1 to 0x%x: %r" % (msg, r.stdout))
    check(DRV("count", HANDLER).stdout.strip() == "1", "the handler window is still there")


def clicks():
    # One click: the click comes when the double-click time is out.
    mark = len(log())
    cursor(40, 60)
    DRV("tray", "0x201,0x202")
    wait_log("event click", mark)
    ev = events_since(mark)
    check(ev == ["down left shift=0 at=40,60", "up left shift=0 at=40,60", "click"],
          "one click: down, up, then the click %r" % ev)
    # A double click: no click, the double click, then the default item.
    mark = len(log())
    DRV("tray", "0x201,0x202,0x203,0x202")
    wait_log("command 202", mark)
    # A later single click's own click proves the double click left none pending.
    DRV("tray", "0x201,0x202")
    wait_log("event click", mark)
    ev = events_since(mark)
    check(ev == ["down left shift=0 at=40,60", "up left shift=0 at=40,60", "dblclick", "up left shift=0 at=40,60",
                 "down left shift=0 at=40,60", "up left shift=0 at=40,60", "click"],
          "double click then a click %r" % ev)
    check(log()[mark:].count("default item 202") == 1, "the default item ran once")
    # A click, then a second one after the double-click time: two clicks.
    mark = len(log())
    DRV("tray", "0x201,0x202")
    wait_log("event click", mark)
    DRV("tray", "0x201,0x202")
    wait_log("event click", mark, count=2)
    check(events_since(mark).count("click") == 2 and "dblclick" not in events_since(mark), "two separate clicks")


def enter_exit():
    mark = len(log())
    cursor(30, 740)
    DRV("tray", "0x200,0x200")
    wait_log("event move", mark, count=2)
    DRV("tray", "0x200")
    wait_log("event move", mark, count=3)
    check(events_since(mark) == ["enter", "move shift=0 at=30,740", "move shift=0 at=30,740",
                                 "move shift=0 at=30,740"],
          "enter once, then moves with the position %r" % events_since(mark))
    cursor(500, 300)
    wait_log("event exit", mark)
    # Another move away brings no second exit; the next callback a new enter.
    cursor(520, 310)
    DRV("tray", "0x405")
    wait_log("event balloon click", mark)
    ev = events_since(mark)
    check(ev.count("enter") == 1 and ev.count("exit") == 1 and ev[-2:] == ["exit", "balloon click"],
          "exit once when the cursor left %r" % ev)


def buttons():
    # Right button: down, the menu at the cursor, up.
    mark = len(log())
    cursor(60, 80)
    DRV("tray", "0x204")
    wait_log("menu open", mark)
    S.screenshot("components_menu.png")
    DRV("menu", "escape")
    wait_log("menu closed item=0", mark)
    DRV("tray", "0x205,0x207,0x208,0x7b,0x400,0x401,0x402")
    wait_log("event balloon show", mark)
    ev = events_since(mark)
    check(ev == ["down right shift=0 at=60,80", "up right shift=0 at=60,80", "down middle shift=0 at=60,80",
                 "up middle shift=0 at=60,80", "balloon show"],
          "right and middle buttons; no context-menu or select events without version 3 %r" % ev)
    # Version 3: the right button-up comes with the context menu and the select notices.
    setting(2, True)
    mark = len(log())
    DRV("tray", "0x205,0x7b,0x400,0x401,0x402")
    wait_log("event balloon show", mark)
    ev = events_since(mark)
    check(ev == ["up right shift=0 at=60,80"] * 3 + ["balloon show"], "version 3 moves the right button-up %r" % ev)
    setting(2, False)
    # LeftPopup: the menu on the left button; a double click runs no default item.
    setting(5, True)
    mark = len(log())
    DRV("tray", "0x201")
    wait_log("menu open", mark)
    DRV("menu", "escape")
    wait_log("menu closed item=0", mark)
    DRV("tray", "0x202,0x203,0x202,0x402")
    wait_log("event balloon show", mark)
    check("default item" not in log()[mark:] and "dblclick" in events_since(mark), "LeftPopup: no default item")
    setting(5, False)


def balloons_and_enabled():
    mark = len(log())
    DRV("tray", "0x402,0x403,0x404,0x405")
    wait_log("event balloon click", mark)
    check(events_since(mark) == ["balloon show", "balloon hide", "balloon timeout", "balloon click"],
          "balloon notices %r" % events_since(mark))
    # Disabled: nothing; enabled again: events again.
    setting(1, False)
    mark = len(log())
    cursor(30, 740)
    DRV("tray", "0x200,0x201,0x202,0x203,0x202,0x204,0x205,0x207,0x208,0x402,0x403,0x404,0x405")
    setting(1, True)
    DRV("tray", "0x404")
    wait_log("event balloon timeout", mark)
    check(events_since(mark) == ["balloon timeout"], "no events while disabled %r" % events_since(mark))
    check("menu open" not in log()[mark:], "no menu while disabled")


def minimise_and_cycle():
    before = tray_colours(S.screenshot("components_before.png"))
    check(dominant(before) is None, "no icon in the notification area before the minimise %r" % before)
    mark = len(log())
    DRV("post", FORM, WM_SYSCOMMAND, SC_MINIMIZE, 0)
    wait_log("event minimize", mark)
    wait_log("tray add", mark)
    guibed.wait_until(lambda: DRV("shows", FORM, "-", check=False).returncode == 1, 10, "the form hidden")
    check("tray add id=1 ok=1 tip=probe icon" in log()[mark:], "the icon shown by the minimise\n" + log()[mark:])
    guibed.wait_until(lambda: dominant(tray_colours(S.screenshot("components_minimised.png"))) == "red", 10,
                      "the first image in the notification area")
    mark = len(log())
    DRV("post", FORM, WM_SYSCOMMAND, SC_RESTORE, 0)
    wait_log("system restore", mark)
    guibed.wait_until(lambda: DRV("state", FORM, "-").stdout.startswith("visible=1 iconic=0 "), 10,
                      "the form normal and visible")
    S.screenshot("components_restored.png")
    # Minimised again, the icon's restore brings the form back to the front.
    mark = len(log())
    DRV("post", FORM, WM_SYSCOMMAND, SC_MINIMIZE, 0)
    wait_log("event minimize", mark)
    guibed.wait_until(lambda: DRV("state", FORM, "-").stdout.startswith("visible=0 "), 10, "the form hidden again")
    DRV("post", FORM, WM_APP + 6, 0, 0)
    wait_log("restore owner form", mark)
    guibed.wait_until(lambda: DRV("state", FORM, "-").stdout.strip() == "visible=1 iconic=0 foreground=1", 10,
                      "the form normal, visible and in front")
    # The shell restarting: the form's hook adds the visible icon again (Wine's
    # shell, which did not restart, refuses the second add).
    mark = len(log())
    DRV("postreg", FORM, "TaskbarCreated")
    wait_log("taskbar created, icon visible=1", mark)
    wait_log("tray add id=1 ", mark)

    # Cycling with three images: the index sequence and the handles the shell got.
    images = [l for l in log().splitlines() if l.startswith("images ")][0].split()[1:4]
    mark = len(log())
    setting(3, True)
    wait_log("event cycle", mark, count=4, timeout=15)
    setting(3, False)
    nexts = [int(e.split("=")[1]) for e in events_since(mark) if e.startswith("cycle ")]
    check(nexts[:4] == [1, 2, 0, 1], "cycle order %r" % nexts)
    handles = [l.split("handle=")[1] for l in log()[mark:].splitlines() if l.startswith("shell icon id=1 ")]
    norm = lambda h: int(h, 16)
    check([norm(h) for h in handles[:4]] == [norm(images[i]) for i in (1, 2, 0, 1)],
          "the shell got the images in turn %r of %r" % (handles, images))
    settled = len(log())
    setting(4, False)
    check("event cycle" not in log()[settled:], "cycling stopped")
    # The image the shell shows is the last one cycling took.
    last = nexts[-1]
    colour = ["red", "blue", "yellow"][last]
    try:
        guibed.wait_until(lambda: dominant(tray_colours(S.screenshot("components_cycled.png"))) == colour, 10,
                          "image %d in the notification area" % last)
    except AssertionError as e:
        check(False, "%s: %r" % (e, tray_colours(os.path.join(S.outdir, "components_cycled.png"))))


def main():
    global ARGS, S, DRV, LOG
    ap = argparse.ArgumentParser()
    ap.add_argument("--probe", required=True)
    ARGS = ap.parse_args()
    S, DRV = guibed.test_session([ARGS.probe])
    with S:
        LOG = os.path.join(S.outdir, "components.log")
        try:
            startup_hidden()
            p = start_probe("show")
            defaults_and_handler(log())
            clicks()
            enter_exit()
            buttons()
            balloons_and_enabled()
            minimise_and_cycle()
            close_probe(p)
        except AssertionError as e:
            FAILS.append(str(e))
            print("FAIL:", e)
        print(log())
    if FAILS:
        print("%d check(s) failed" % len(FAILS))
        return 1
    print("components: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
