#!/usr/bin/env python3
"""The PIN dialog, the default-PIN prompt and the settings dialog on the GUI
bed, run by the dialogs probe (the main form's entry points) against the
scripted fake SolvantaMgr.dll.

  dialogs_gui_test.py pin|settings --probe EXE --dist DIR --fake DLL

Each case installs the probe in a folder of its own with the shipped
Languages\\ and config\\ and the fake library, clears the user's
configuration folder, and starts one action with the test switch. The
driver plays the user with real key input; what the probe logged (message
boxes, the OK button's state, what was saved) and what the fake library
logged (the PINs that reached it) are checked. Screenshots stay in the
test's output folder.
"""
import argparse
import os
import shutil
import subprocess
import sys

import guibed
import monitor_gui_test as mg

ARGS = None
S = None
DRV = None
FAILS = mg.FAILS

PIN_TITLE = "Change the USB key PIN"
NOTICE = "Notice"
SETTINGS_TITLE = "Advanced settings"
IDC_PIN_OLD_COUNT, IDC_PIN_NEW_COUNT, IDC_PIN_CONFIRM_COUNT = 1005, 1006, 1007
IDC_PIN_OLD_EDIT, IDC_PIN_NEW_EDIT, IDC_PIN_CONFIRM_EDIT = 1010, 1011, 1012
IDC_PIN_OK, IDCANCEL = 1020, 2
IDC_PROMPT_ASK_AGAIN, IDC_PROMPT_YES, IDC_PROMPT_NO = 1032, 1033, 1034
IDC_CFG_OPEN_URL, IDC_CFG_URL, IDC_CFG_CERT_DAYS, IDC_CFG_SAVE = 1102, 1103, 1107, 1112


read_text = guibed.read_text
utf16_file = guibed.write_utf16
# The user's folders and the checks are those of the monitor's own tests
# (they read that module's session, set in main).
appdata = mg.appdata
config_dir = mg.config_dir
check = mg.check


class Case:
    def __init__(self, name, token="", language="EN_1033.lng"):
        self.name = name
        self.dir = os.path.join(S.outdir, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.app = os.path.join(self.dir, "app")
        os.makedirs(self.app)
        shutil.copy(ARGS.probe, os.path.join(self.app, "probe.exe"))
        shutil.copy(ARGS.fake, os.path.join(self.app, "SolvantaMgr.dll"))
        shutil.copytree(os.path.join(ARGS.dist, "config"), os.path.join(self.app, "config"))
        shutil.copytree(os.path.join(ARGS.dist, "Languages"), os.path.join(self.app, "Languages"))
        self.scenario_path = os.path.join(self.dir, "scenario.ini")
        self.calls_path = os.path.join(self.dir, "calls.log")
        self.log_path = os.path.join(self.dir, "probe.log")
        self.language = language
        self.scenario(token)
        shutil.rmtree(os.path.join(appdata(), "Tarnely"), ignore_errors=True)
        self.proc = None

    def scenario(self, token):
        with open(self.scenario_path, "w") as f:
            # The first of two equal keys counts: the case's own come first.
            f.write("[library]\ntokens=1\n[token0]\n" + token + "min_pin=6\nmax_pin=32\npolicy_rc=1\n")

    def user_config(self, text):
        os.makedirs(config_dir(), exist_ok=True)
        with open(os.path.join(config_dir(), "MgrConfig.ini"), "w") as f:
            f.write(text.replace("\n", "\r\n"))

    def start(self, action, extra_env=None):
        env = {
            "SOLVANTEX_MON_TEST": "log=%s;boxes=real;sleep=0" % guibed.windows_path(self.log_path),
            "SOLVANTA_FAKE_MGR_SCENARIO": guibed.windows_path(self.scenario_path),
            "SOLVANTA_FAKE_MGR_LOG": guibed.windows_path(self.calls_path),
        }
        env.update(extra_env or {})
        self.proc = S.spawn([os.path.join(self.app, "probe.exe"), self.language, action], env=env)
        return self.proc

    def log(self):
        return read_text(self.log_path)

    def calls(self):
        return read_text(self.calls_path)

    def wait_log(self, text, timeout=30):
        return guibed.wait_until(lambda: text in self.log(), timeout,
                                 "%r in the probe's log\n%s" % (text, self.log()))

    def count(self, text):
        return self.log().count(text)

    def wait_count(self, text, n, timeout=30):
        return guibed.wait_until(lambda: self.count(text) >= n, timeout,
                                 "%d x %r in the probe's log\n%s" % (n, text, self.log()))

    def finish(self, timeout=30):
        try:
            self.proc.wait(timeout=timeout)
        except Exception:
            pass
        if not check(self.proc.poll() is not None, "%s: the probe ended" % self.name):
            DRV("close", "-", PIN_TITLE, check=False)
            DRV("close", "-", SETTINGS_TITLE, check=False)
            try:
                self.proc.kill()
            except Exception:
                pass
        return self.log()


def answer(title=NOTICE, button=1):
    """Answers the next message box; its text."""
    r = DRV("answer", title, button, 15000)
    for line in r.stdout.splitlines():
        if line.startswith("child 65535 Static: "):
            return line[len("child 65535 Static: "):].strip()
    return r.stdout.strip()


def children(title):
    """Control id -> text of the dialog's controls."""
    out = {}
    for line in DRV("text", "-", title).stdout.splitlines():
        if line.startswith("child "):
            head, _, text = line.partition(": ")
            parts = head.split()
            try:
                out[int(parts[1])] = text
            except (IndexError, ValueError):
                pass
    return out


def last_ok(c):
    lines = [l for l in c.log().splitlines() if l.startswith("pin ok=")]
    return lines[-1] if lines else ""


def typed(title, text):
    DRV("dlg", title, "type", text)


def wait_counters(title, want, what):
    def probe():
        got = children(title)
        return all(got.get(k) == v for k, v in want.items())
    try:
        guibed.wait_until(probe, 10, what)
        check(True, what)
    except AssertionError:
        check(False, "%s: %r" % (what, children(title)))


def shot(name):
    bmp = os.path.join(S.outdir, name + ".bmp")
    S.screenshot(name + ".png")
    return bmp


# ------------------------------------------------------------ PIN dialog

def case_pin_rules():
    c = Case("pin_rules")
    c.start("pin")
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    c.wait_log("pin dialog shown mode=0 width=380 height=230")
    check(DRV("count", "tupinsetform").stdout.strip() == "1", "the dialog's class is TUPinSetForm")
    for edit in (IDC_PIN_OLD_EDIT, IDC_PIN_NEW_EDIT, IDC_PIN_CONFIRM_EDIT):
        r = DRV("dlg", PIN_TITLE, "pwchar", edit, check=False)
        check(r.stdout.strip() == str(ord("*")), "edit %d shows '*' for each character (%r)" % (edit, r.stdout))
    # Old PIN of 3: OK stays off whatever the new entries hold.
    typed(PIN_TITLE, "123")
    wait_counters(PIN_TITLE, {IDC_PIN_OLD_COUNT: "3"}, "the old PIN's counter follows typing")
    DRV("dlg", PIN_TITLE, "enter")
    wait_counters(PIN_TITLE, {IDC_PIN_OLD_COUNT: "", IDC_PIN_NEW_COUNT: "0"}, "Enter moves on; leaving clears the counter")
    typed(PIN_TITLE, "abcde")
    DRV("dlg", PIN_TITLE, "down")
    wait_counters(PIN_TITLE, {IDC_PIN_NEW_COUNT: "", IDC_PIN_CONFIRM_COUNT: "0"}, "Down moves on from the new PIN")
    typed(PIN_TITLE, "abcde")
    wait_counters(PIN_TITLE, {IDC_PIN_CONFIRM_COUNT: "5"}, "the confirmation's counter")
    check(last_ok(c) == "pin ok=0", "old PIN of 3 characters: OK off (%s)" % last_ok(c))
    # Enter in the confirmation with an old PIN of 3 does nothing.
    DRV("dlg", PIN_TITLE, "enter")
    check(DRV("waitwin", "#32770", NOTICE, 300, check=False).returncode != 0,
          "Enter in the confirmation with an old PIN of 3: no check")
    # Back to the old PIN: a fourth character turns OK on.
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OLD_EDIT)
    wait_counters(PIN_TITLE, {IDC_PIN_OLD_COUNT: "3", IDC_PIN_CONFIRM_COUNT: ""}, "entering the old PIN shows its counter")
    DRV("dlg", PIN_TITLE, "fill", IDC_PIN_OLD_EDIT, "")
    typed(PIN_TITLE, "1234")
    guibed.wait_until(lambda: last_ok(c) == "pin ok=1", 10, "OK on at 4/5/5")
    check(True, "old 4, new 5, confirmation 5: OK on")
    # Enter in the confirmation: the length rule (no policy on the token).
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_CONFIRM_EDIT)
    DRV("dlg", PIN_TITLE, "enter")
    text = answer()
    check(text == "The user PIN length is out of range!(6--32)", "5 characters: UPIN_E2(6--32) (%r)" % text)
    # Mismatch.
    typed(PIN_TITLE, "X")
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "The new PIN and its confirmation must be the same!", "mismatch: S_PIN_equal (%r)" % text)
    check(DRV("shows", "-", PIN_TITLE, check=False).returncode == 0, "the dialog stays after a refusal")
    # 30 characters typed keep 24.
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OLD_EDIT)
    DRV("dlg", PIN_TITLE, "fill", IDC_PIN_OLD_EDIT, "")
    typed(PIN_TITLE, "A" * 30)
    wait_counters(PIN_TITLE, {IDC_PIN_OLD_COUNT: "24"}, "30 typed characters keep 24")
    typed(PIN_TITLE, "\u00e9")
    wait_counters(PIN_TITLE, {IDC_PIN_OLD_COUNT: "24"}, "a full edit stays at 24")
    # A character the system code page (1252 on the bed) cannot represent
    # is not taken.
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_NEW_EDIT)
    DRV("dlg", PIN_TITLE, "fill", IDC_PIN_NEW_EDIT, "")
    typed(PIN_TITLE, "new-\u4e2dPIN1")
    wait_counters(PIN_TITLE, {IDC_PIN_NEW_COUNT: "8"}, "a character outside the code page is not taken")
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_CONFIRM_EDIT)
    DRV("dlg", PIN_TITLE, "fill", IDC_PIN_CONFIRM_EDIT, "")
    typed(PIN_TITLE, "new-PIN1")
    shot("pin_change_dialog")
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "Changed successfully", "the change: K_Set_Yes (%r)" % text)
    c.finish()
    calls = c.calls()
    check("token_login 0 pin=" + "A" * 24 + "\n" in calls, "the 24 typed characters reached token_login")
    check("token_change_upin 0 old=%s new=new-PIN1" % ("A" * 24) in calls, "the new PIN as typed")
    check(calls.find("token_logout 0") > calls.find("token_login 0"), "logout between login and change")
    check("token_read_file 0 name=PINLimit" in calls, "the policy was read")


def case_pin_code_page_936():
    """Under code page 936 a PIN of Chinese characters is typed and changed,
    reaching the library as the code page's bytes; a character the code
    page cannot represent (Hangul) is not taken."""
    c = Case("pin_cp936")
    c.start("pin", {"LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8"})
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    old_pin, new_pin = "\u5bc6\u7801123", "\u65b0\u5bc6\u7801\u4e2d\u6587"
    typed(PIN_TITLE, old_pin)
    wait_counters(PIN_TITLE, {IDC_PIN_OLD_COUNT: "5"}, "the Chinese old PIN typed")
    DRV("dlg", PIN_TITLE, "enter")
    typed(PIN_TITLE, new_pin + "\ud55c")
    wait_counters(PIN_TITLE, {IDC_PIN_NEW_COUNT: "5"}, "Hangul, outside code page 936, is not taken")
    DRV("dlg", PIN_TITLE, "enter")
    typed(PIN_TITLE, new_pin)
    wait_counters(PIN_TITLE, {IDC_PIN_CONFIRM_COUNT: "5"}, "the confirmation typed")
    shot("pin_change_cp936")
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "Changed successfully", "the Chinese PIN is changed (%r)" % text)
    c.finish()
    with open(c.calls_path, "rb") as f:
        calls = f.read()
    want = b"token_change_upin 0 old=" + old_pin.encode("gbk") + b" new=" + new_pin.encode("gbk") + b"\n"
    check(want in calls, "the PINs reached the library as code page 936 bytes\n%r" % calls)


def case_about():
    """The About form, shown through its action (no menu item leads to it):
    icon, texts, bevel, the hand cursor over the two links; its button
    hides it."""
    c = Case("about")
    c.start("about")
    DRV("waitwin", "TSolvantex_TrayIcon", "-", 20000)
    c.wait_log("probe about shown")
    guibed.wait_until(lambda: DRV("shows", "TSolvantex_TrayIcon", "-", check=False).returncode == 0, 10,
                      "the About form shows")
    text = DRV("text", "TSolvantex_TrayIcon", "-").stdout
    for want in ("PKI manager", "1.0.0.1"):
        check(want in text, "the About form holds %r\n%s" % (want, text))
    shot("about_form")
    # Over the two links the cursor is one shape, other than over the
    # button; back on the first link it is that shape again.
    def shape(ctrl):
        r = DRV("cursorover", "TSolvantex_TrayIcon", "-", ctrl, 5000, check=False)
        check(r.returncode == 0, "the cursor settles over control %d (%r)" % (ctrl, r.stdout))
        return r.stdout.strip()
    url, mail, button, url_again = shape(7), shape(8), shape(1), shape(7)
    check(url == mail == url_again and button != url,
          "one cursor over both links, another over the button (%s %s %s %s)" % (url, mail, button, url_again))
    DRV("dlg", "About", "clickok")
    c.wait_log("probe about hidden")
    c.finish()


def case_pin_escape_and_front():
    c = Case("pin_escape")
    c.start("pin")
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    DRV("postreg", "SolvantexDialogsProbe", "ProbeChangePin")
    c.wait_log("pin dialog open: brought to front")
    check(DRV("count", "TUPinSetForm").stdout.strip() == "1", "a second request opens no second dialog")
    typed(PIN_TITLE, "1234")
    DRV("dlg", PIN_TITLE, "escape")
    DRV("waitgone", "TUPinSetForm", "-", 10000)
    log = c.finish()
    check("pin dialog result=2" in log, "Escape cancels")
    check("token_login" not in c.calls(), "nothing is tried after a cancel")


def case_pin_removal_closes():
    c = Case("pin_removal")
    c.start("pin")
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    DRV("dlg", PIN_TITLE, "sysclose")
    DRV("waitgone", "TUPinSetForm", "-", 10000)
    log = c.finish()
    check("pin dialog result=2" in log, "SC_CLOSE (the removal's close) ends the dialog as cancelled")


def case_pin_policy_refused():
    pol = '{"PINLimit":[{"ID":0,"MaxLen":32,"MinLen":6},{"ID":1,"MaxLen":16,"MinLen":6,"Uppercase":1,"Numeral":1}]}'
    c = Case("pin_policy", "policy_rc=0\npolicy=%s\n" % pol)
    c.start("pin")
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    typed(PIN_TITLE, "123456")
    DRV("dlg", PIN_TITLE, "enter")
    typed(PIN_TITLE, "abcdefgh")
    DRV("dlg", PIN_TITLE, "enter")
    typed(PIN_TITLE, "abcdefgh")
    DRV("dlg", PIN_TITLE, "enter")
    text = answer()
    check(text == "Password strength does not match", "the policy refuses (%r)" % text)
    check("pin policy result=13" in c.log(), "upper case tested first: 13")
    for edit in (IDC_PIN_NEW_EDIT, IDC_PIN_CONFIRM_EDIT):
        DRV("dlg", PIN_TITLE, "fill", edit, "Abcdefg1")
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "Changed successfully", "a PIN that meets the policy is changed (%r)" % text)
    c.finish()
    check("token_change_upin 0 old=123456 new=Abcdefg1" in c.calls(), "the change reached the library")


def case_wrong_old_pin_formatter():
    c = Case("pin_old_check", "login=1\nlogin_retries=7\n")
    lng = os.path.join(c.app, "Languages", "EN_1033.lng")
    text = read_text(lng)
    text = "\n".join("K_OldCheck=%s: %d of %d left, 100%%" if l.startswith("K_OldCheck=") else l
                     for l in text.replace("\r\n", "\n").split("\n"))
    utf16_file(lng, text)
    c.start("pin")
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    for edit, pin in ((IDC_PIN_OLD_EDIT, "999999"), (IDC_PIN_NEW_EDIT, "abcdef"), (IDC_PIN_CONFIRM_EDIT, "abcdef")):
        DRV("dlg", PIN_TITLE, "fill", edit, pin)
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "%s: 7 of %d left, 100%", "K_OldCheck through the safe formatter (%r)" % text)
    c.finish()
    check("token_change_upin" not in c.calls(), "no change after a refused old PIN")


def case_default_prompt_loop():
    # Default PIN set: the prompt, "ask again" cleared, Yes; a wrong old PIN,
    # still the default: the dialog again; then the PIN is locked: K_Dead.
    c = Case("default_prompt", "pin_state=10,10,0,0,0,1\nlogin=1\nlogin_retries=9\n")
    c.user_config("[APPConfig]\nURLOpenMode=0\nURL=\nBrowserMode=0\nCertTips=1\nCertDay=30\n"
                  "LanguageID=1033\nDefaultPINMode=1\n")
    c.start("default")
    DRV("waitwin", "TUPinSetForm", NOTICE, 20000)
    c.wait_log("pin dialog shown mode=100")
    got = children(NOTICE)
    check(got.get(1030) == "The USB key still has its default PIN. Change it now?", "the prompt's text")
    check(got.get(IDC_PROMPT_ASK_AGAIN) == "Ask again next time", "the prompt's check box")
    shot("default_pin_prompt")
    # The advanced action is ignored while the prompt runs.
    DRV("postreg", "SolvantexDialogsProbe", "ProbeAdvanced")
    c.wait_log("probe advanced ignored: pin prompt busy")
    DRV("dlg", NOTICE, "click", IDC_PROMPT_ASK_AGAIN)
    DRV("dlg", NOTICE, "click", IDC_PROMPT_YES)
    c.wait_log("default pin prompt result=1 again=0")
    # The answer is logged before the configuration is written: wait for the file.
    cfg_path = os.path.join(config_dir(), "MgrConfig.ini")
    try:
        guibed.wait_until(lambda: "DefaultPINMode=0" in read_text(cfg_path), 10, "DefaultPINMode=0 written")
    except AssertionError:
        check(False, "DefaultPINMode=0 written (%r)" % read_text(cfg_path))
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    for edit, pin in ((IDC_PIN_OLD_EDIT, "000000"), (IDC_PIN_NEW_EDIT, "abcdef"), (IDC_PIN_CONFIRM_EDIT, "abcdef")):
        DRV("dlg", PIN_TITLE, "fill", edit, pin)
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "The old PIN is wrong, 9 retries left", "wrong old PIN: retries (%r)" % text)
    # Still the default PIN: the dialog again; the token then locks.
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    c.wait_count("pin dialog shown mode=0", 2)
    c.scenario("pin_state=0,10,0,0,1,1\nlogin=1\nlogin_retries=0\n")
    for edit, pin in ((IDC_PIN_OLD_EDIT, "111111"), (IDC_PIN_NEW_EDIT, "abcdef"), (IDC_PIN_CONFIRM_EDIT, "abcdef")):
        DRV("dlg", PIN_TITLE, "fill", edit, pin)
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "The old PIN is wrong, 0 retries left", "second wrong PIN (%r)" % text)
    text = answer()
    check(text == "The USB key is locked", "locked: K_Dead ends the loop (%r)" % text)
    log = c.finish()
    check("probe done settings default_pin=0" in log, "the loop ended")


def case_default_prompt_off():
    c = Case("default_off", "pin_state=10,10,0,0,0,1\n")
    c.user_config("[APPConfig]\nDefaultPINMode=0\n")
    c.start("default")
    log = c.finish()
    # The probe's own start-up read is the only one.
    check("pin dialog shown" not in log and c.calls().count("token_get_pin_state") == 1,
          "DefaultPINMode 0: no prompt, no state read")


# -------------------------------------------------------- settings dialog

LANGS = ("[Language1]\nLanguageID=1033\nLnaguageName=English\nLanguageFile=EN_1033.lng\nLanguageCSP=Solvantex.EN.dll\n"
         "[Language2]\nLanguageID=2052\nLnaguageName=Chinese A\nLanguageFile=ZH_2052.lng\nLanguageCSP=Solvantex.ZHA.dll\n"
         "[Language3]\nLanguageID=2052\nLnaguageName=Chinese B\nLanguageFile=ZH_2052.lng\nLanguageCSP=Solvantex.ZHB.dll\n")


def settings_case(name, config, langs=LANGS):
    c = Case(name)
    utf16_file(os.path.join(c.app, "Languages", "LanguageInfo.ini"), langs)
    S.wine(["reg", "delete", "HKCU\\Software\\Tarnely", "/v", "Solvantex", "/f"], timeout=60)
    if config is not None:
        c.user_config(config)
    return c


def registry_value():
    r = S.wine(["reg", "query", "HKCU\\Software\\Tarnely", "/v", "Solvantex"], timeout=60)
    for line in r.stdout.splitlines():
        if "Solvantex" in line and "REG_SZ" in line:
            return line.split("REG_SZ", 1)[1].strip()
    return None


def saved():
    text = read_text(os.path.join(config_dir(), "MgrConfig.ini"))
    out = {}
    for line in text.replace("\r\n", "\n").split("\n"):
        if "=" in line:
            k, _, v = line.partition("=")
            out[k] = v
    return out


FIXTURE = ("[APPConfig]\nURLOpenMode=1\nURL=http://example.test/a\nBrowserMode=1\nCertTips=1\nCertDay=45\n"
           "LanguageID=2052\nDefaultPINMode=0\n")


def case_settings_fill_and_save():
    c = settings_case("settings_save", FIXTURE)
    c.start("advanced")
    DRV("waitwin", "TProjectConfigForm", SETTINGS_TITLE, 20000)
    c.wait_log("settings dialog loaded")
    check("loaded open_url=1 url=[http://example.test/a] rb2=1 url_enabled=1 tips=1 days=45 days_enabled=1 "
          "language=2052 selected=2 entries=3 default_pin=0" in c.log(),
          "the fixture fills the controls; the later of two entries is selected\n" + c.log())
    DRV("postreg", "SolvantexDialogsProbe", "ProbeAdvanced")
    c.wait_log("settings dialog open: brought to front")
    check(DRV("count", "TProjectConfigForm").stdout.strip() == "1", "a second request opens no second dialog")
    check(DRV("shows", "-", SETTINGS_TITLE, check=False).returncode == 0, "the dialog is shown")
    shot("settings_dialog")
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_CERT_DAYS)
    DRV("dlg", SETTINGS_TITLE, "fill", IDC_CFG_CERT_DAYS, "")
    typed(SETTINGS_TITLE, "400")
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_SAVE)
    text = answer()
    check(text == "Saved", "save: S_Save_Yes (%r)" % text)
    log = c.finish()
    check("settings dialog result=1" in log, "closed with OK")
    s = saved()
    want = {"URLOpenMode": "1", "URL": "http://example.test/a", "BrowserMode": "1", "CertTips": "1",
            "CertDay": "365", "LanguageID": "2052", "DefaultPINMode": "0"}
    check(all(s.get(k) == v for k, v in want.items()), "the seven keys; 400 days become 365 (%r)" % s)
    check(registry_value() == "Solvantex.ZHB.dll", "the chosen entry's LanguageCSP in the registry")


def case_settings_url_rules():
    c = settings_case("settings_url", FIXTURE.replace("URL=http://example.test/a", "URL="))
    c.start("advanced")
    DRV("waitwin", "TProjectConfigForm", SETTINGS_TITLE, 20000)
    c.wait_log("settings dialog loaded")
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_SAVE)
    text = answer()
    check(text == "The address must not be empty.", "checked box, empty address: S_URLNull (%r)" % text)
    check(DRV("shows", "-", SETTINGS_TITLE, check=False).returncode == 0, "the dialog stays")
    check(not os.path.exists(os.path.join(config_dir(), "MgrConfig.ini")) or saved().get("URL") == "",
          "nothing saved")
    DRV("dlg", SETTINGS_TITLE, "fill", IDC_CFG_URL, "   ")
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_SAVE)
    text = answer()
    check(text == "Saved", "blanks pass the emptiness test (%r)" % text)
    c.finish()
    s = saved()
    check(s.get("URLOpenMode") == "1" and s.get("URL") == "", "an address of blanks is saved empty (%r)" % s)

    c = settings_case("settings_uncheck", FIXTURE)
    c.start("advanced")
    DRV("waitwin", "TProjectConfigForm", SETTINGS_TITLE, 20000)
    c.wait_log("settings dialog loaded")
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_OPEN_URL)
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_SAVE)
    answer()
    c.finish()
    s = saved()
    check(s.get("URLOpenMode") == "0" and s.get("URL") == "", "unchecking clears the address (%r)" % s)


def case_settings_no_language():
    c = settings_case("settings_nolang", FIXTURE.replace("LanguageID=2052", "LanguageID=1041"))
    c.start("advanced")
    DRV("waitwin", "TProjectConfigForm", SETTINGS_TITLE, 20000)
    c.wait_log("settings dialog loaded")
    check("selected=-1" in c.log(), "no entry for the configured language: none selected")
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_SAVE)
    answer()
    c.finish()
    check(saved().get("LanguageID") == "1041", "no language selected: LanguageID kept")
    check(registry_value() is None, "no language selected: no registry value written")


def case_settings_write_failure():
    import subprocess
    c = settings_case("settings_readonly", FIXTURE)
    path = os.path.join(config_dir(), "MgrConfig.ini")
    # Read-only even for root, who runs the tests here: the immutable flag
    # (mode bits and the DOS attribute do not stop root). Without it, the
    # file is replaced by a folder once the dialog has read it.
    immutable = subprocess.run(["chattr", "+i", path], capture_output=True).returncode == 0
    try:
        c.start("advanced")
        DRV("waitwin", "TProjectConfigForm", SETTINGS_TITLE, 20000)
        c.wait_log("settings dialog loaded")
        check("days=45" in c.log(), "a read-only file is still read")
        if not immutable:
            os.remove(path)
            os.makedirs(path)
        DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_SAVE)
        text = answer()
        check(text == "Could not save", "a file that cannot be written: S_Save_No (%r)" % text)
        log = c.finish()
        check("settings dialog result=1" in log, "the dialog still closes with OK")
        check(registry_value() is None, "no registry value after a failed write")
    finally:
        if immutable:
            subprocess.run(["chattr", "-i", path], capture_output=True)
        elif os.path.isdir(path):
            os.rmdir(path)


# ------------------------------------------- the edits' borders, both looks

def screen(name):
    """The display as kept in NAME.png: (width, height, rgb bytes)."""
    png = S.screenshot(name + ".png")
    ppm = os.path.join(S.outdir, name + ".ppm")
    subprocess.run(["convert", png, "-depth", "8", ppm], check=True, timeout=60)
    with open(ppm, "rb") as f:
        data = f.read()
    os.remove(ppm)
    fields, pos = [], 0
    while len(fields) < 4:  # P6, width, height, maximum
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[pos + 1:]


def pixel(img, x, y):
    w, _, px = img
    i = (y * w + x) * 3
    return tuple(px[i:i + 3])


def control_rect(title, ident):
    return [int(v) for v in DRV("dlg", title, "rect", ident).stdout.split()]


def framing_faults(img, rect, what, inside="right"):
    """A framed edit at RECT (on the screen): on each side its outer border
    pixel differs from the face beside it (outside), and the border differs
    from the box's own background (inside); the spin edit's buttons stay
    inside the frame. The faults found, as text."""
    left, top, right, bottom = rect
    my, mx = (top + bottom) // 2, (left + right) // 2
    bg = pixel(img, right - 5 if inside == "right" else left + 4, my)
    faults = []
    # Per side: the outer and the inner pixel of the two-pixel border, and
    # the face just outside. The classic sunken edge is white outside on the
    # right and bottom, like an enabled box, so either border pixel may be
    # the one that stands out from the background.
    sides = (("left", (left, my), (left + 1, my), (left - 1, my)),
             ("top", (mx, top), (mx, top + 1), (mx, top - 1)),
             ("right", (right - 1, my), (right - 2, my), (right, my)),
             ("bottom", (mx, bottom - 1), (mx, bottom - 2), (mx, bottom)))
    for side, at, inner, beside in sides:
        b, i, o = pixel(img, *at), pixel(img, *inner), pixel(img, *beside)
        if b == o or (b == bg and i == bg):
            faults.append("%s: %s border %r, %r at %r, beside it %r, background %r" % (what, side, b, i, at, o, bg))
    return faults


def check_framed(name, boxes):
    """Pictures of the display until every box of BOXES (title, id, what,
    inside) is framed (the dialog may still be painting), at most 20 s;
    the last picture stays as NAME.png."""
    placed = [(control_rect(box[0], box[1]),) + tuple(box[2:]) for box in boxes]
    faults = []

    def framed():
        img = screen(name)
        faults[:] = [f for box in placed for f in framing_faults(img, *box)]
        return not faults
    try:
        guibed.wait_until(framed, 20, name, step=0.2)
    except AssertionError:
        pass
    for box in placed:
        mine = [f for f in faults if f.startswith(box[1] + ":")]
        check(not mine, "%s is framed %s" % (box[1], "; ".join(mine)))
    return screen(name)


def case_edit_borders():
    c = Case("edit_borders")
    c.start("pin")
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 20000)
    c.wait_log("pin dialog shown mode=0")
    check_framed("borders_pin_dialog", [(PIN_TITLE, ident, "PIN dialog, %s edit" % name) for ident, name in
                                        ((IDC_PIN_OLD_EDIT, "old PIN"), (IDC_PIN_NEW_EDIT, "new PIN"),
                                         (IDC_PIN_CONFIRM_EDIT, "confirmation"))])
    # Escape typed (a real key) in the first edit, which has the focus:
    # the Cancel button's click ends the dialog as cancelled.
    DRV("dlg", PIN_TITLE, "key", 27)
    DRV("waitgone", "TUPinSetForm", "-", 10000)
    log = c.finish()
    check("pin dialog result=2" in log, "Escape typed in the first edit: Cancel's click, result 2")

    c = settings_case("edit_borders_settings", FIXTURE.replace("URLOpenMode=1", "URLOpenMode=0"))
    c.start("advanced")
    DRV("waitwin", "TProjectConfigForm", SETTINGS_TITLE, 20000)
    c.wait_log("settings dialog loaded")
    check("url_enabled=0" in c.log(), "the address box starts disabled")
    img = check_framed("borders_settings_disabled",
                       [(SETTINGS_TITLE, IDC_CFG_URL, "settings dialog, disabled address box"),
                        (SETTINGS_TITLE, IDC_CFG_CERT_DAYS, "settings dialog, days box", "left")])
    left, top, right, bottom = control_rect(SETTINGS_TITLE, IDC_CFG_URL)
    spot = (right - 5, (top + bottom) // 2)
    disabled_bg = pixel(img, *spot)
    DRV("dlg", SETTINGS_TITLE, "click", IDC_CFG_OPEN_URL)
    guibed.wait_until(lambda: pixel(screen("borders_settings_enabled"), *spot) != disabled_bg, 10,
                      "the address box's background changes once it is enabled")
    check_framed("borders_settings_enabled", [(SETTINGS_TITLE, IDC_CFG_URL, "settings dialog, enabled address box")])
    DRV("close", "-", SETTINGS_TITLE, check=False)
    c.finish()


# ------------------------------------------------------------ the road

SO_PIN, NEW_PIN = "87654321", "Road-PIN9"
DEFAULT_PIN = "12345678"  # the user PIN the module's C_InitToken gives
ROAD_POLICY = ('{"PINLimit":[{"ID":0,"retry":10,"MaxLen":32,"MinLen":6},'
               '{"ID":1,"retry":10,"MaxLen":16,"MinLen":8,"Uppercase":1,"Numeral":1}]}')


def tool(*args):
    import subprocess
    return subprocess.run(["pkcs11-tool", "--module", ARGS.native_module] + list(args), capture_output=True,
                          text=True, timeout=120)


def case_card_road():
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vtoken"))
    from vtctl import VtCtl
    with VtCtl() as vt:
        vt.call("reset_state")
        vt.call("insert", wait_ready=True)
        vt.call("preset", name="factory")
    c = Case("card_road")
    for f in (ARGS.real_mgr, ARGS.module, ARGS.winscard):
        shutil.copy(f, os.path.join(c.app, os.path.basename(f)))
    c.user_config("[APPConfig]\nURLOpenMode=0\nURL=\nBrowserMode=0\nCertTips=1\nCertDay=30\n"
                  "LanguageID=1033\nDefaultPINMode=1\n")
    env = {"SOLVANTEX_MON_TEST": "log=%s;boxes=real;sleep=0" % guibed.windows_path(c.log_path)}
    # Formatted as a token leaves the factory: through the module's
    # C_InitToken alone, so that the user PIN is the format's default and
    # flagged to be changed; then the policy written through token_write_file.
    r = tool("--init-token", "--so-pin", SO_PIN, "--label", "Road")
    check(r.returncode == 0, "token formatted through the module\n" + r.stdout + r.stderr)
    r = tool("-L")
    check("user PIN to be changed" in r.stdout, "the format's default user PIN is flagged\n" + r.stdout)
    S.wine([os.path.join(c.app, "probe.exe"), "EN_1033.lng", "writepolicy", DEFAULT_PIN, ROAD_POLICY],
           env=env, timeout=120)
    check("probe writepolicy login=0 create=0 write=0" in c.log(), "PINLimit written through token_write_file\n" + c.log())
    c.proc = S.spawn([os.path.join(c.app, "probe.exe"), "EN_1033.lng", "default"], env=env)
    DRV("waitwin", "TUPinSetForm", NOTICE, 30000)
    c.wait_log("pin dialog shown mode=100")
    shot("card_default_pin_prompt")
    DRV("dlg", NOTICE, "click", IDC_PROMPT_ASK_AGAIN)
    DRV("dlg", NOTICE, "click", IDC_PROMPT_YES)
    c.wait_log("default pin prompt result=1 again=0")
    # The answer is logged before the configuration is written: wait for the file.
    cfg_path = os.path.join(config_dir(), "MgrConfig.ini")
    try:
        guibed.wait_until(lambda: "DefaultPINMode=0" in read_text(cfg_path), 10, "DefaultPINMode=0 written")
    except AssertionError:
        check(False, "DefaultPINMode=0 in the user's MgrConfig.ini")
    road_change(c)


def road_change(c):
    DRV("waitwin", "TUPinSetForm", PIN_TITLE, 30000)
    typed(PIN_TITLE, DEFAULT_PIN)
    DRV("dlg", PIN_TITLE, "enter")
    # First a PIN the token's policy refuses (no upper case).
    typed(PIN_TITLE, "road-pin9")
    DRV("dlg", PIN_TITLE, "enter")
    typed(PIN_TITLE, "road-pin9")
    DRV("dlg", PIN_TITLE, "enter")
    text = answer()
    check(text == "Password strength does not match", "the token's policy refuses road-pin9 (%r)" % text)
    for edit in (IDC_PIN_NEW_EDIT, IDC_PIN_CONFIRM_EDIT):
        DRV("dlg", PIN_TITLE, "click", edit)
        DRV("dlg", PIN_TITLE, "fill", edit, "")
        typed(PIN_TITLE, NEW_PIN)
    shot("card_change_dialog")
    DRV("dlg", PIN_TITLE, "click", IDC_PIN_OK)
    text = answer()
    check(text == "Changed successfully", "K_Set_Yes on the token (%r)" % text)
    c.finish(timeout=60)
    r = tool("--login", "--pin", NEW_PIN, "--list-objects")
    check(r.returncode == 0, "native login with the new PIN\n" + r.stdout + r.stderr)
    r = tool("--login", "--pin", DEFAULT_PIN, "--list-objects")
    check(r.returncode != 0, "the old PIN fails natively\n" + r.stdout + r.stderr)
    r = tool("--list-objects", "--type", "data", "--login", "--pin", NEW_PIN)
    check("PINLimit" in r.stdout, "the PINLimit data object on the token\n" + r.stdout)


GROUPS = {
    "pin": [case_pin_rules, case_pin_code_page_936, case_pin_escape_and_front, case_pin_removal_closes, case_pin_policy_refused,
            case_wrong_old_pin_formatter, case_default_prompt_loop, case_default_prompt_off],
    "settings": [case_settings_fill_and_save, case_settings_url_rules, case_settings_no_language,
                 case_settings_write_failure, case_about],
    "card": [case_card_road],
    "looks": [case_edit_borders],
}


def main():
    global ARGS, S, DRV
    ap = argparse.ArgumentParser()
    ap.add_argument("group", choices=sorted(GROUPS))
    ap.add_argument("--probe", required=True)
    ap.add_argument("--dist", required=True)
    ap.add_argument("--fake", required=True)
    ap.add_argument("--only")
    ap.add_argument("--real-mgr")
    ap.add_argument("--module")
    ap.add_argument("--winscard")
    ap.add_argument("--native-module")
    ARGS = ap.parse_args()
    S, DRV = guibed.test_session([ARGS.probe])
    mg.S = S
    with S:
        for case in GROUPS[ARGS.group]:
            if ARGS.only and ARGS.only not in case.__name__:
                continue
            print("==", case.__name__)
            try:
                case()
            except AssertionError as e:
                FAILS.append("%s: %s" % (case.__name__, e))
                print("FAIL:", case.__name__, e)
                DRV("close", "#32770", NOTICE, check=False)
                DRV("close", "-", PIN_TITLE, check=False)
                DRV("close", "-", SETTINGS_TITLE, check=False)
    if FAILS:
        print("%d failed" % len(FAILS))
        return 1
    print("all cases passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
