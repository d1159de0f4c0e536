"""The steps of a request's road through the product on the virtual token,
shared by the demo (scripts/demo.py, from the build folders) and the road
test of the installed folder (tests/product/road_test.py):

- install(): `cmake --install` of a Windows tree into a folder;
- Card: the token natively through the PKCS #11 module (pkcs11-tool, and
  OpenSSL's pkcs11 engine), its format as it leaves the factory;
- make_p12(): a PKCS #12 file made with openssl (a key pair, its
  certificate "Solvanta Demo User" and the CA that issued it);
- WinTool: the Windows test program tests/demo/demo_tool.cpp in a GUI
  session (the import through SolvantaMgr.dll, the MY listing, the
  key-provider property followed);
- Monitor: SolvantexMon.exe in a GUI session (its start on the token, the
  card pulled and put back, the default-PIN prompt and the PIN changed in
  the dialog it leads to, the exit from the tray menu).

Every wait is on a condition and bounded; every Windows program runs under a
time-out (guibed.Session).
"""
import glob
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import openssl_engine  # noqa: E402

SO_PIN = "87654321"
USER_PIN = "12345678"  # the user PIN the module's format gives
NEW_PIN = "55667788"
P12_PASSWORD = "demo-pass"
CONTAINER = "demo"
SUBJECT = "Solvanta Demo User"
USB_PATH = "\\\\?\\USB#VID_096E&PID_0166#5&1a&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
PIN_DIALOG = "Change the USB key PIN"


class RoadError(Exception):
    pass


def run(*args, env=None, timeout=120, cwd=None, check=True):
    out = subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, env=env, cwd=cwd)
    if check and out.returncode != 0:
        raise RoadError("%s failed (%d):\n%s%s" % (" ".join(args), out.returncode, out.stdout, out.stderr))
    return out


def install(cmake, build, prefix, timeout=120):
    """The tree's install step into prefix (made afresh)."""
    shutil.rmtree(prefix, ignore_errors=True)
    out = subprocess.run([cmake, "--install", build, "--prefix", prefix], capture_output=True, text=True,
                         timeout=timeout)
    if out.returncode != 0:
        raise RoadError("cmake --install failed:\n" + out.stdout + out.stderr)
    return prefix


def install_app(folder, files):
    """A folder of its own, made afresh, the given files beside each other."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for f in files:
        shutil.copy(f, folder)
    return folder


def tool_lines(text, key):
    """The values of the "key: value" lines of a program's output."""
    return [l.split(":", 1)[1].strip() for l in text.splitlines() if l.startswith(key + ":")]


def verify(pub_pem, sig, data):
    """openssl's check of a SHA-256 signature; its output."""
    out = run("openssl", "dgst", "-sha256", "-verify", pub_pem, "-signature", sig, data, check=False)
    if "Verified OK" not in out.stdout:
        raise RoadError("openssl did not verify the signature:\n%s%s" % (out.stdout, out.stderr))
    return out.stdout.strip()


def make_p12(d):
    """ca.pem, ee.key, ee.pem, ee.der, ee.pub and demo.p12 in d; the path of demo.p12."""
    os.makedirs(d, exist_ok=True)

    def ssl(*a):
        run("openssl", *a, cwd=d)
    with open(os.path.join(d, "ca.ext"), "w") as f:
        f.write("[x]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n")
    with open(os.path.join(d, "ee.ext"), "w") as f:
        f.write("[x]\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=clientAuth\n")
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-subj", "/CN=Solvanta Demo CA",
        "-days", "3650", "-sha256", "-out", "ca.pem", "-addext", "basicConstraints=critical,CA:TRUE")
    ssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "ee.key", "-subj",
        "/CN=%s/O=Demo" % SUBJECT, "-out", "ee.csr")
    ssl("x509", "-req", "-in", "ee.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-set_serial", "0x5d01",
        "-days", "730", "-sha256", "-extfile", "ee.ext", "-extensions", "x", "-out", "ee.pem")
    ssl("x509", "-in", "ee.pem", "-outform", "DER", "-out", "ee.der")
    ssl("x509", "-in", "ee.pem", "-noout", "-pubkey", "-out", "ee.pub")
    ssl("pkcs12", "-export", "-inkey", "ee.key", "-in", "ee.pem", "-certfile", "ca.pem",
        "-passout", "pass:" + P12_PASSWORD, "-out", "demo.p12")
    return os.path.join(d, "demo.p12")


class Card:
    """The token natively through the module (a solvantex_pkcs11.so)."""

    def __init__(self, module, workdir):
        self.module = module
        self.workdir = workdir

    def tool(self, *args, check=True):
        return run("pkcs11-tool", "--module", self.module, *args, check=check)

    def format(self, vt, label):
        """The card as it leaves the factory, formatted through the module
        (C_InitToken): the user PIN is the default, flagged to be changed.
        The label and flags pkcs11-tool reads."""
        vt.call("preset", name="factory")
        self.tool("--init-token", "--so-pin", SO_PIN, "--label", label)
        info = self.tool("-L").stdout
        labels = [l.split(":", 1)[1].strip() for l in info.splitlines() if "token label" in l]
        flags = [l.split(":", 1)[1].strip() for l in info.splitlines() if "token flags" in l]
        if not flags or "user PIN to be changed" not in flags[0]:
            raise RoadError("the format left the user PIN without its to-be-changed flag:\n" + info)
        return (labels[0] if labels else "?"), flags[0]

    def objects_of(self, pin, key_id):
        """The kinds of the objects with that id pkcs11-tool lists, sorted."""
        listing = self.tool("--login", "--pin", pin, "--list-objects").stdout
        kinds = []
        current = None
        for line in listing.splitlines():
            if line and not line.startswith(" "):
                current = line.split(";")[0].strip()
            elif current and line.strip().startswith("ID:") and line.split(":", 1)[1].strip() == key_id:
                kinds.append(current)
        if sorted(kinds) != ["Certificate Object", "Private Key Object", "Public Key Object"]:
            raise RoadError("pkcs11-tool does not show the container's key pair and certificate:\n" + listing)
        return sorted(kinds)

    def sign(self, pin, key_id, data, sig):
        self.tool("--login", "--pin", pin, "--sign", "-m", "SHA256-RSA-PKCS", "--id", key_id, "-i", data, "-o", sig)

    def logs_in(self, pin):
        """True when pkcs11-tool logs in with pin and lists a private key;
        False when the token refuses the PIN (CKR_PIN_INCORRECT)."""
        out = self.tool("--login", "--pin", pin, "--list-objects", "--type", "privkey", check=False)
        if out.returncode == 0 and "Private Key Object" in out.stdout:
            return True
        if out.returncode != 0 and "CKR_PIN_INCORRECT" in out.stdout + out.stderr:
            return False
        raise RoadError("pkcs11-tool --login gave neither a private key nor a refused PIN (%d):\n%s%s"
                        % (out.returncode, out.stdout, out.stderr))

    def engine_sign(self, pin, key_id, data, sig):
        """A SHA-256 signature over data by openssl through libp11's pkcs11
        engine on this module, with the key of that id."""
        if not openssl_engine.installed():
            raise RoadError("libengine-pkcs11-openssl is not installed (%s)" % openssl_engine.ENGINE)
        env = openssl_engine.environment(os.path.join(self.workdir, "openssl-engine.cnf"), self.module, pin)
        uri = "pkcs11:id=%s;type=private" % "".join("%%%s" % key_id[i:i + 2] for i in range(0, len(key_id), 2))
        run("openssl", "dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-sign", uri,
            "-out", sig, data, env=env, timeout=120)
        return uri


class WinTool:
    """tests/demo/demo_tool.cpp in a GUI session; env is added to the
    program's environment (WINEPATH to the DLLs it uses, for one)."""

    def __init__(self, session, exe, env=None):
        self.s = session
        self.exe = exe
        self.env = dict(env or {})

    def call(self, *args, env=None, timeout=120):
        e = dict(self.env)
        e.update(env or {})
        return self.s.wine([self.exe] + list(args), timeout=timeout, env=e)

    def import_p12(self, p12_windows_path, password, container, pin):
        """The import through SolvantaMgr.dll; its output."""
        r = self.call("import", p12_windows_path, password, container, pin, timeout=180)
        if r.returncode != 0:
            raise RoadError("the import program failed (%d):\n%s%s" % (r.returncode, r.stdout, r.stderr))
        return r.stdout

    def store(self):
        """The certificate lines of MY: "subject | provider P | container C"."""
        r = self.call("store")
        if r.returncode != 0:
            raise RoadError("the store listing failed (%d):\n%s%s" % (r.returncode, r.stdout, r.stderr))
        return tool_lines(r.stdout, "certificate")

    def in_store(self, subject):
        return [c for c in self.store() if subject in c]

    def keyprov(self, subject, env=None):
        """The key-provider property of the MY certificate followed into its
        provider (CompletedProcess; status 0 when the key reached there is
        the certificate's)."""
        return self.call("keyprov", subject, env=env)


def fresh_user_settings(prefix):
    """The user's monitor settings as a first start finds them: none, so the
    shipped ones are copied (the default-PIN prompt on)."""
    for roaming in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Roaming")):
        shutil.rmtree(os.path.join(roaming, "Tarnely"), ignore_errors=True)


class Monitor:
    """SolvantexMon.exe of a folder in a GUI session, logging to log."""

    def __init__(self, session, drv, guibed, app, log):
        self.s = session
        self.drv = drv
        self.guibed = guibed
        self.exe = os.path.join(app, "SolvantexMon.exe")
        self.log_path = log
        self.proc = None

    def log(self):
        return self.guibed.read_text(self.log_path)

    def wait_log(self, text, timeout=30, start=0):
        return self.guibed.wait_until(lambda: text in self.log()[start:], timeout,
                                      "%r in the monitor's log\n%s" % (text, self.log()))

    def start(self):
        """Started on the token: its tray icon added and its first
        registration pass done."""
        if os.path.exists(self.log_path):
            os.remove(self.log_path)
        env = {"SOLVANTEX_MON_TEST": "log=%s;boxes=real;sleep=50" % self.guibed.windows_path(self.log_path)}
        self.proc = self.s.spawn([self.exe], env=env)
        self.wait_log("main window")
        self.drv("waitwin", "TSolvantex_TrayIcon", "-", 20000)
        self.wait_log("tray add id=1 ok=1", 30)
        self.wait_log("register token=0 result=", 30)
        return "init library=0" in self.log()

    def pull_and_return(self, vt):
        """The card pulled and put back: the removal followed, the arrival's
        balloon shown. The log's length before the arrival."""
        mark = len(self.log())
        vt.remove()
        if not self.guibed.removal_notice(self.drv, USB_PATH, self.log):
            raise RoadError("the monitor still counts the token after its removal\n" + self.log()[mark:])
        mark = len(self.log())
        vt.insert(wait_ready=True)
        self.drv("devchange", "arrival", USB_PATH)
        self.wait_log("text=USB key inserted", 30, mark)
        return mark

    def wait_balloon(self, timeout=6):
        """After the arrival's balloon was asked for: the seconds until the
        tray shows it, None when it is not seen in time."""
        return self.guibed.wait_balloon(self.drv, timeout)

    def change_default_pin(self, mark, old, new, shot):
        """After an arrival (mark): the default-PIN prompt answered Yes, the
        old PIN, the new one and its confirmation typed into the dialog it
        leads to. shot(name) is called with the prompt up ("pin_prompt.png")
        and with the dialog filled in ("pin_dialog.png"). The texts of the
        notice the monitor answers with."""
        self.wait_log("register token=0 result=", 30, mark)
        try:
            self.wait_log("pin dialog shown mode=100", 20, mark)
        except AssertionError:
            raise RoadError("no default-PIN prompt after the arrival\n" + self.log()[mark:])
        time.sleep(0.3)  # the box paints after its dialog is shown
        shot("pin_prompt.png")
        self.drv("dlg", "Notice", "click", 1033)
        self.wait_log("pin dialog shown mode=0", 20, mark)
        # Enter moves on from the old PIN and the new one; in the confirmation
        # it clicks OK.
        self.drv("dlg", PIN_DIALOG, "type", old)
        self.drv("dlg", PIN_DIALOG, "enter")
        self.drv("dlg", PIN_DIALOG, "type", new)
        self.drv("dlg", PIN_DIALOG, "enter")
        self.drv("dlg", PIN_DIALOG, "type", new)
        time.sleep(0.3)
        shot("pin_dialog.png")
        self.drv("dlg", PIN_DIALOG, "enter")
        r = self.drv("answer", "Notice", 1, 30000)
        # The box's texts as the driver prints them: "child <id> Static: <text>".
        texts = [l.split("Static:", 1)[1].strip() for l in r.stdout.splitlines() if "Static:" in l]
        self.wait_log("default pin prompt result=1", 20, mark)
        return " ".join(t for t in texts if t) or r.stdout.strip()

    def open_menu(self, shot=None):
        """The tray icon's menu opened by a right click; shot(name) with it up."""
        self.drv("cursor", 800, 610)
        self.drv("tray", 0x204)
        self.drv("waitwin", "#32768", "-", 20000)
        if shot:
            time.sleep(0.5)  # the menu paints after it is mapped
            shot("tray_menu.png")

    def exit_from_menu(self, shot=None):
        """Exit chosen from the tray menu; returns once the program ended."""
        self.open_menu(shot)
        self.drv("menu", "keys", 3)
        self.proc.wait(timeout=60)
        return self.proc.returncode
