"""The main job: the product's main road against the virtual token.

1. The card library (libZervikSolvanta.so): the token readers through the
   library's transport (Zervik_EnumDev, filter "Solvanta"), the device
   information, and the secure channel (P-521 key agreement) read wrapped.
2. The PKCS #11 module natively through pkcs11-tool: the token formatted
   (--init-token, --init-pin), an RSA key pair generated on the card, a
   signature that openssl verifies with the public key read off the card.
3. The manager library under Wine through the PC/SC bridge: a PKCS #12 file
   made here with openssl imported into a container by a small Windows
   program (tests/demo/demo_tool.cpp) that calls SolvantaMgr.dll; then read
   natively (pkcs11-tool lists the container's objects, signs with the
   imported key, openssl verifies with the file's certificate).
4. The tray monitor under Xvfb (the GUI test bed): started on the token, its
   certificate registered in MY (read back by the same Windows program),
   the card pulled and put back (balloon, registration again), the
   default-PIN prompt answered and the new PIN typed by the GUI driver, the
   settings dialog opened from the tray menu, the menu's exit removing the
   registration; pkcs11-tool --login natively with the new PIN. Screenshots
   go to WORKDIR/screenshots.

Run by scripts/demo.sh under the card lock, with the card environment up:
  demo.py --top TOP --native BUILD --win BUILD --workdir DIR --card-env FILE --prefix WINEPREFIX
"""
import argparse
import ctypes
import glob
import json
import os
import shutil
import subprocess
import sys
import time

ARGS = None
SO_PIN = "87654321"
USER_PIN = "12345678"  # the user PIN the module's format gives
NEW_PIN = "55667788"
P12_PASSWORD = "demo-pass"
CONTAINER = "demo"
PROVIDER = "Tarnely Zervik N8Dex CSP V1.1"
USB_PATH = "\\\\?\\USB#VID_096E&PID_0166#5&1a&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"


class DemoError(Exception):
    pass


def say(text=""):
    print(text, flush=True)


def step(title):
    say()
    say("== " + title)


def run(*args, env=None, timeout=120, cwd=None, check=True):
    out = subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, env=env, cwd=cwd)
    if check and out.returncode != 0:
        raise DemoError("%s failed (%d):\n%s%s" % (" ".join(args), out.returncode, out.stdout, out.stderr))
    return out


def path(*parts):
    return os.path.join(ARGS.workdir, *parts)


# ---- 1. the card library -------------------------------------------------------

def card_library():
    step("1. Card library: device information and secure channel")
    lib = ctypes.CDLL(os.path.join(ARGS.native, "apdu.core", "libZervikSolvanta.so"))
    c_int_p = ctypes.POINTER(ctypes.c_int)
    lib.Zervik_EnumDev.argtypes = [ctypes.c_char_p, ctypes.c_char_p, c_int_p]
    lib.Zervik_ConnectDev.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.Zervik_GetFSMaxSpace.argtypes = [ctypes.c_void_p, c_int_p]
    lib.Zervik_GetChipID.argtypes = [ctypes.c_void_p, ctypes.c_char_p, c_int_p]
    lib.Zervik_GetHealthStatus.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint64)]
    lib.Zervik_SetupSecureMessageChannel.argtypes = [ctypes.c_void_p]
    lib.Zervik_UseSecureChannel.argtypes = [ctypes.c_int]
    lib.Zervik_DisconnectDev.argtypes = [ctypes.c_void_p]

    size = ctypes.c_int(0)
    rc = lib.Zervik_EnumDev(b"Solvanta", None, ctypes.byref(size))
    if rc not in (0, 2):
        raise DemoError("Zervik_EnumDev failed: %d" % rc)
    buf = ctypes.create_string_buffer(max(size.value, 1))
    rc = lib.Zervik_EnumDev(b"Solvanta", buf, ctypes.byref(size))
    if rc != 0:
        raise DemoError("Zervik_EnumDev failed: %d" % rc)
    readers = [n.decode() for n in buf.raw[: size.value].split(b"\0") if n]
    say("token readers: %d" % len(readers))
    for name in readers:
        say("  " + name)

    for name in readers:
        handle = ctypes.c_void_p()
        rc = lib.Zervik_ConnectDev(name.encode(), ctypes.byref(handle))
        if rc != 0:
            say("%s: no card (%#010x)" % (name, rc & 0xFFFFFFFF))
            continue
        space = ctypes.c_int(0)
        rc = lib.Zervik_GetFSMaxSpace(handle, ctypes.byref(space))
        say("%s: file system space %d bytes" % (name, space.value) if rc == 0
            else "%s: GetFSMaxSpace status %#x" % (name, rc))
        chip = ctypes.create_string_buffer(64)
        length = ctypes.c_int(len(chip))
        rc = lib.Zervik_GetChipID(handle, chip, ctypes.byref(length))
        say("%s: chip id %s" % (name, chip.raw[: length.value].hex()) if rc == 0
            else "%s: GetChipID status %#x" % (name, rc))
        health = ctypes.c_uint64(0)
        rc = lib.Zervik_GetHealthStatus(handle, ctypes.byref(health))
        say("%s: health status %#018x" % (name, health.value) if rc == 0
            else "%s: GetHealthStatus status %#x" % (name, rc))
        rc = lib.Zervik_SetupSecureMessageChannel(handle)
        if rc != 0:
            lib.Zervik_DisconnectDev(handle)
            raise DemoError("%s: secure channel set-up failed: %#x" % (name, rc))
        lib.Zervik_UseSecureChannel(1)
        length = ctypes.c_int(len(chip))
        rc = lib.Zervik_GetChipID(handle, chip, ctypes.byref(length))
        lib.Zervik_UseSecureChannel(0)
        lib.Zervik_DisconnectDev(handle)
        if rc != 0:
            raise DemoError("%s: wrapped GetChipID status %#x" % (name, rc))
        say("%s: secure channel open; chip id read wrapped: %s" % (name, chip.raw[: length.value].hex()))
        return
    raise DemoError("no token card found")


# ---- 2. the module through pkcs11-tool ------------------------------------------

def module():
    return os.path.join(ARGS.native, "pkcs11", "solvantex_pkcs11.so")


def tool(*args, check=True):
    return run("pkcs11-tool", "--module", module(), *args, check=check)


def verify(pub_pem, sig, data):
    out = run("openssl", "dgst", "-sha256", "-verify", pub_pem, "-signature", sig, data, check=False)
    if "Verified OK" not in out.stdout:
        raise DemoError("openssl did not verify the signature:\n%s%s" % (out.stdout, out.stderr))


def pkcs11_module(vt):
    step("2. PKCS #11 module through pkcs11-tool (native)")
    vt.call("preset", name="factory")
    tool("--init-token", "--so-pin", SO_PIN, "--label", "Solvanta Demo")
    info = tool("-L").stdout
    label = [l.split(":", 1)[1].strip() for l in info.splitlines() if "token label" in l]
    flags = [l.split(":", 1)[1].strip() for l in info.splitlines() if "token flags" in l]
    say("formatted through the module (C_InitToken): token label %r" % (label[0] if label else "?"))
    say("token flags: %s" % (flags[0] if flags else "?"))
    if not flags or "user PIN to be changed" not in flags[0]:
        raise DemoError("the format left the user PIN without its to-be-changed flag:\n" + info)
    say("the user PIN is the format's default (%s), flagged to be changed" % USER_PIN)
    tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "rsa:2048", "--id", "01",
         "--label", "demo card key")
    say("RSA 2048 key pair generated on the card (id 01)")
    tool("--read-object", "--type", "pubkey", "--id", "01", "-o", path("card01.der"))
    run("openssl", "pkey", "-pubin", "-inform", "DER", "-in", path("card01.der"), "-out", path("card01.pem"))
    with open(path("message.txt"), "w") as f:
        f.write("signed on the Solvanta token by the demo\n")
    tool("--login", "--pin", USER_PIN, "--sign", "-m", "SHA256-RSA-PKCS", "--id", "01",
         "-i", path("message.txt"), "-o", path("card01.sig"))
    verify(path("card01.pem"), path("card01.sig"), path("message.txt"))
    say("SHA256-RSA-PKCS signature made on the card; openssl: Verified OK")


# ---- 3. the manager library under Wine -------------------------------------------

def make_p12():
    d = path("p12")
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
        "/CN=Solvanta Demo User/O=Demo", "-out", "ee.csr")
    ssl("x509", "-req", "-in", "ee.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-set_serial", "0x5d01",
        "-days", "730", "-sha256", "-extfile", "ee.ext", "-extensions", "x", "-out", "ee.pem")
    ssl("x509", "-in", "ee.pem", "-noout", "-pubkey", "-out", "ee.pub")
    ssl("pkcs12", "-export", "-inkey", "ee.key", "-in", "ee.pem", "-certfile", "ca.pem",
        "-passout", "pass:" + P12_PASSWORD, "-out", "demo.p12")
    return os.path.join(d, "demo.p12")


def install_app(name, files):
    """A folder of its own in the work folder, the given files beside each other."""
    app = path(name)
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(app)
    for f in files:
        shutil.copy(f, app)
    return app


def win_file(*parts):
    return os.path.join(ARGS.win, *parts)


def tool_lines(text, key):
    return [l.split(":", 1)[1].strip() for l in text.splitlines() if l.startswith(key + ":")]


def manager_library(session, guibed):
    step("3. Manager library (SolvantaMgr.dll) under Wine through the PC/SC bridge")
    p12 = make_p12()
    say("made with openssl: %s (key and certificate of \"Solvanta Demo User\", its CA)" % os.path.relpath(p12))
    app = install_app("mgr-app", [win_file("tests", "demo", "solvanta_demo_tool.exe"),
                                  win_file("mgr", "SolvantaMgr.dll"), win_file("pkcs11", "solvantex_pkcs11.dll"),
                                  win_file("pcsc_bridge", "winscard.dll")])
    exe = os.path.join(app, "solvanta_demo_tool.exe")
    r = session.wine([exe, "import", guibed.windows_path(p12), P12_PASSWORD, CONTAINER, USER_PIN], timeout=180)
    if r.returncode != 0:
        raise DemoError("the import program failed (%d):\n%s%s" % (r.returncode, r.stdout, r.stderr))
    say("SolvantaMgr: init_pkcs11(solvantex_pkcs11.dll), token_connect, token_login, "
        "pkcs12_file_parse: %s (Wine's PFX import leaves the self-signed CA out)"
        % ("1 entry" if tool_lines(r.stdout, "entries")[0] == "1" else tool_lines(r.stdout, "entries")[0] + " entries"))
    for line in tool_lines(r.stdout, "entry"):
        say("  " + line)
    for line in tool_lines(r.stdout, "container"):
        say("  container " + line)
    # The same card read natively.
    listing = tool("--login", "--pin", USER_PIN, "--list-objects").stdout
    key_id = CONTAINER.encode().hex()
    kinds = []
    current = None
    for line in listing.splitlines():
        if line and not line.startswith(" "):
            current = line.split(";")[0].strip()
        elif current and line.strip().startswith("ID:") and line.split(":", 1)[1].strip() == key_id:
            kinds.append(current)
    if sorted(kinds) != ["Certificate Object", "Private Key Object", "Public Key Object"]:
        raise DemoError("pkcs11-tool does not show the container's key pair and certificate:\n" + listing)
    say("pkcs11-tool (native) lists the container's objects (id %s): %s" % (key_id, ", ".join(sorted(kinds))))
    tool("--login", "--pin", USER_PIN, "--sign", "-m", "SHA256-RSA-PKCS", "--id", key_id,
         "-i", path("message.txt"), "-o", path("imported.sig"))
    verify(path("p12", "ee.pub"), path("imported.sig"), path("message.txt"))
    say("signature with the imported key; openssl verifies it with the PKCS #12 file's certificate: Verified OK")
    return app


# ---- 4. the tray monitor under Xvfb --------------------------------------------------

def tray_monitor(session, drv, guibed, vt, tool_app):
    step("4. Tray monitor (SolvantexMon.exe) under Xvfb")
    shots = path("screenshots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    app = install_app("mon-app", [win_file("monitor", "SolvantexMon.exe"), win_file("mgr", "SolvantaMgr.dll"),
                                  win_file("pkcs11", "solvantex_pkcs11.dll"),
                                  win_file("pcsc_bridge", "winscard.dll")])
    dist = os.path.join(ARGS.top, "monitor", "dist")
    for sub in ("config", "Languages"):
        shutil.copytree(os.path.join(dist, sub), os.path.join(app, sub))
    # The user's monitor settings as a first start finds them: none, so the
    # shipped ones are copied (the default-PIN prompt on).
    for roaming in glob.glob(os.path.join(ARGS.prefix, "drive_c", "users", "*", "AppData", "Roaming")):
        shutil.rmtree(os.path.join(roaming, "Tarnely"), ignore_errors=True)
    log = path("monitor.log")
    if os.path.exists(log):
        os.remove(log)
    env = {"SOLVANTEX_MON_TEST": "log=%s;boxes=real;sleep=50" % guibed.windows_path(log)}
    store = os.path.join(tool_app, "solvanta_demo_tool.exe")

    def mon_log():
        return guibed.read_text(log)

    def wait_log(text, timeout=30, start=0):
        return guibed.wait_until(lambda: text in mon_log()[start:], timeout,
                                 "%r in the monitor's log\n%s" % (text, mon_log()))

    def shot(name):
        session.screenshot(os.path.join(shots, name))

    def store_list():
        r = session.wine([store, "store"], timeout=120)
        if r.returncode != 0:
            raise DemoError("the store listing failed (%d):\n%s%s" % (r.returncode, r.stdout, r.stderr))
        return tool_lines(r.stdout, "certificate")

    p = session.spawn([os.path.join(app, "SolvantexMon.exe")], env=env)
    wait_log("main window")
    drv("waitwin", "TSolvantex_TrayIcon", "-", 20000)
    wait_log("tray add id=1 ok=1", 30)
    say("monitor started on the token: %s" % ("library bound to the module"
                                              if "init library=0" in mon_log() else "?"))
    wait_log("register token=0 result=", 30)
    certs = guibed.wait_until(lambda: [c for c in store_list() if "Solvanta Demo User" in c], 30,
                              "the certificate in MY")
    say("registered in MY (read by the demo's store program): " + certs[0])

    # The card pulled and put back: the arrival's balloon, the registration
    # again, then the default-PIN prompt.
    mark = len(mon_log())
    vt.remove()
    # The notification may come before the module sees the card gone: it is
    # sent again (a few times, bounded) until the monitor counts no token.
    for _ in range(20):
        at = len(mon_log())
        drv("devchange", "removal", USB_PATH)
        wait_log("tokens after removal=", 20, at)
        if "tokens after removal=0" in mon_log()[at:]:
            break
        time.sleep(0.25)
    else:
        raise DemoError("the monitor still counts the token after its removal\n" + mon_log()[mark:])
    mark = len(mon_log())
    vt.insert(wait_ready=True)
    drv("devchange", "arrival", USB_PATH)
    wait_log("text=USB key inserted", 30, mark)
    say("card pulled and put back: balloon \"USB key inserted\"")
    shot("tray_balloon.png")
    wait_log("register token=0 result=", 30, mark)
    # The default-PIN prompt: Yes, then the new PIN typed into the change dialog.
    try:
        wait_log("pin dialog shown mode=100", 20, mark)
    except AssertionError:
        raise DemoError("no default-PIN prompt after the arrival\n" + mon_log()[mark:])
    time.sleep(0.3)
    shot("pin_prompt.png")
    say("default-PIN prompt shown: \"The USB key still has its default PIN. Change it now?\"; answered Yes")
    drv("dlg", "Notice", "click", 1033)
    wait_log("pin dialog shown mode=0", 20, mark)
    title = "Change the USB key PIN"
    # Enter moves on from the old PIN and the new one; in the confirmation it
    # clicks OK.
    drv("dlg", title, "type", USER_PIN)
    drv("dlg", title, "enter")
    drv("dlg", title, "type", NEW_PIN)
    drv("dlg", title, "enter")
    drv("dlg", title, "type", NEW_PIN)
    time.sleep(0.3)
    shot("pin_dialog.png")
    drv("dlg", title, "enter")
    r = drv("answer", "Notice", 1, 30000)
    # The box's texts as the driver prints them: "child <id> Static: <text>".
    texts = [l.split("Static:", 1)[1].strip() for l in r.stdout.splitlines() if "Static:" in l]
    answer = " ".join(t for t in texts if t) or r.stdout.strip()
    wait_log("default pin prompt result=1", 20, mark)
    say("PIN typed by the GUI driver (old, new, confirmation); the monitor says: %s" % answer)

    # The settings dialog from the tray menu. The menu opens once the
    # default-PIN prompt (armed by the arrival) is done with.
    drv("cursor", 800, 610)
    drv("tray", 0x204)
    drv("waitwin", "#32768", "-", 20000)
    time.sleep(0.5)  # the menu paints after it is mapped
    shot("tray_menu.png")
    drv("menu", "keys", 2)
    wait_log("settings dialog shown", 20, mark)
    time.sleep(0.3)
    shot("settings_dialog.png")
    drv("close", "TProjectConfigForm", "-")
    wait_log("settings dialog result=", 20, mark)
    say("settings dialog opened from the tray menu (Advanced settings) and closed")

    # Exit from the menu: the registration goes.
    drv("tray", 0x204)
    drv("menu", "keys", 3)
    p.wait(timeout=60)
    left = [c for c in store_list() if "Solvanta Demo User" in c]
    if left:
        raise DemoError("the certificate is still in MY after the exit: %s" % left)
    say("Exit from the tray menu: the monitor ended and MY no longer holds the token's certificate")

    out = tool("--login", "--pin", NEW_PIN, "--list-objects", "--type", "privkey")
    if "Private Key Object" not in out.stdout:
        raise DemoError("no private key listed after the login with the new PIN:\n" + out.stdout)
    old = tool("--login", "--pin", USER_PIN, "--list-objects", check=False)
    if old.returncode == 0:
        raise DemoError("the old PIN still logs in")
    say("pkcs11-tool --login (native) with the new PIN: logged in, the private keys listed; the old PIN refused")
    say("screenshots: %s" % os.path.relpath(shots))
    for f in sorted(os.listdir(shots)):
        say("  " + f)


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--top", required=True)
    ap.add_argument("--native", required=True)
    ap.add_argument("--win", required=True)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--card-env", required=True)
    ap.add_argument("--prefix", required=True)
    ARGS = ap.parse_args()
    ARGS.workdir = os.path.abspath(ARGS.workdir)
    os.makedirs(ARGS.workdir, exist_ok=True)
    sys.path.insert(0, os.path.join(ARGS.top, "vtoken"))
    sys.path.insert(0, os.path.join(ARGS.top, "tests", "gui"))
    from vtctl import VtCtl
    import guibed

    with open(ARGS.card_env) as f:
        card_env = json.load(f)
    started = time.monotonic()
    vt = VtCtl(card_env["control_port"], timeout=15.0).connect()
    bridge_dir = path("bridge")
    env = dict(os.environ, SOLVANTA_WINEPREFIX=ARGS.prefix)
    session = None
    try:
        card_library()
        pkcs11_module(vt)
        # The Windows programs: the demo's own prefix, display and bridge.
        run(sys.executable, os.path.join(ARGS.top, "pcsc_bridge", "bridge_env.py"), "start",
            "--workdir", bridge_dir, "--bridge", os.path.join(ARGS.native, "pcsc_bridge", "solvanta_pcsc_bridge"),
            "--dll", win_file("pcsc_bridge", "winscard.dll"), env=env, timeout=300)
        session = guibed.Session(ARGS.prefix, outdir=path("gui"))
        session.start()
        drv = guibed.Driver(session, win_file("tests", "gui", "gui_driver.exe"))
        tool_app = manager_library(session, guibed)
        tray_monitor(session, drv, guibed, vt, tool_app)
    except (DemoError, AssertionError, subprocess.TimeoutExpired) as e:
        say("DEMO FAILED: %s" % e)
        return 1
    finally:
        if session is not None:
            session.close()
        run(sys.executable, os.path.join(ARGS.top, "pcsc_bridge", "bridge_env.py"), "stop",
            "--workdir", bridge_dir, env=env, check=False)
        try:
            if not vt.status()["inserted"]:
                vt.insert(wait_ready=True)
        finally:
            vt.close()
    say()
    say("demo road done in %.0f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
