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
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "product"))
import road  # noqa: E402
from road import CONTAINER, NEW_PIN, P12_PASSWORD, USER_PIN, RoadError as DemoError, tool_lines  # noqa: E402

ARGS = None
CARD = None


def say(text=""):
    print(text, flush=True)


def step(title):
    say()
    say("== " + title)


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

def pkcs11_module(vt):
    step("2. PKCS #11 module through pkcs11-tool (native)")
    label, flags = CARD.format(vt, "Solvanta Demo")
    say("formatted through the module (C_InitToken): token label %r" % label)
    say("token flags: %s" % flags)
    say("the user PIN is the format's default (%s), flagged to be changed" % USER_PIN)
    CARD.tool("--login", "--pin", USER_PIN, "--keypairgen", "--key-type", "rsa:2048", "--id", "01",
              "--label", "demo card key")
    say("RSA 2048 key pair generated on the card (id 01)")
    CARD.tool("--read-object", "--type", "pubkey", "--id", "01", "-o", path("card01.der"))
    road.run("openssl", "pkey", "-pubin", "-inform", "DER", "-in", path("card01.der"), "-out", path("card01.pem"))
    with open(path("message.txt"), "w") as f:
        f.write("signed on the Solvanta token by the demo\n")
    CARD.sign(USER_PIN, "01", path("message.txt"), path("card01.sig"))
    road.verify(path("card01.pem"), path("card01.sig"), path("message.txt"))
    say("SHA256-RSA-PKCS signature made on the card; openssl: Verified OK")


# ---- 3. the manager library under Wine -------------------------------------------

def win_file(*parts):
    return os.path.join(ARGS.win, *parts)


def manager_library(session, guibed):
    step("3. Manager library (SolvantaMgr.dll) under Wine through the PC/SC bridge")
    p12 = road.make_p12(path("p12"))
    say("made with openssl: %s (key and certificate of \"Solvanta Demo User\", its CA)" % os.path.relpath(p12))
    app = road.install_app(path("mgr-app"), [win_file("tests", "demo", "solvanta_demo_tool.exe"),
                                             win_file("mgr", "SolvantaMgr.dll"),
                                             win_file("pkcs11", "solvantex_pkcs11.dll"),
                                             win_file("pcsc_bridge", "winscard.dll")])
    wintool = road.WinTool(session, os.path.join(app, "solvanta_demo_tool.exe"))
    out = wintool.import_p12(guibed.windows_path(p12), P12_PASSWORD, CONTAINER, USER_PIN)
    entries = tool_lines(out, "entries")[0]
    say("SolvantaMgr: init_pkcs11(solvantex_pkcs11.dll), token_connect, token_login, "
        "pkcs12_file_parse: %s (Wine's PFX import leaves the self-signed CA out)"
        % ("1 entry" if entries == "1" else entries + " entries"))
    for line in tool_lines(out, "entry"):
        say("  " + line)
    for line in tool_lines(out, "container"):
        say("  container " + line)
    # The same card read natively.
    key_id = CONTAINER.encode().hex()
    kinds = CARD.objects_of(USER_PIN, key_id)
    say("pkcs11-tool (native) lists the container's objects (id %s): %s" % (key_id, ", ".join(sorted(kinds))))
    CARD.sign(USER_PIN, key_id, path("message.txt"), path("imported.sig"))
    road.verify(path("p12", "ee.pub"), path("imported.sig"), path("message.txt"))
    say("signature with the imported key; openssl verifies it with the PKCS #12 file's certificate: Verified OK")
    return wintool


# ---- 4. the tray monitor under Xvfb --------------------------------------------------

def tray_monitor(session, drv, guibed, vt, wintool):
    step("4. Tray monitor (SolvantexMon.exe) under Xvfb")
    shots = path("screenshots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    app = road.install_app(path("mon-app"), [win_file("monitor", "SolvantexMon.exe"), win_file("mgr", "SolvantaMgr.dll"),
                                             win_file("pkcs11", "solvantex_pkcs11.dll"),
                                             win_file("pcsc_bridge", "winscard.dll")])
    dist = os.path.join(ARGS.top, "monitor", "dist")
    for sub in ("config", "Languages"):
        shutil.copytree(os.path.join(dist, sub), os.path.join(app, sub))
    road.fresh_user_settings(ARGS.prefix)
    mon = road.Monitor(session, drv, guibed, app, path("monitor.log"))

    def shot(name):
        session.screenshot(os.path.join(shots, name))

    bound = mon.start()
    say("monitor started on the token: %s" % ("library bound to the module" if bound else "?"))
    certs = guibed.wait_until(lambda: wintool.in_store(road.SUBJECT), 30, "the certificate in MY")
    say("registered in MY (read by the demo's store program): " + certs[0])

    # The card pulled and put back: the arrival's balloon, the registration
    # again, then the default-PIN prompt.
    mark = mon.pull_and_return(vt)
    say("card pulled and put back: balloon \"USB key inserted\"")
    mon.wait_balloon()
    shot("tray_balloon.png")
    answer = mon.change_default_pin(mark, USER_PIN, NEW_PIN, shot)
    say("default-PIN prompt shown: \"The USB key still has its default PIN. Change it now?\"; answered Yes")
    say("PIN typed by the GUI driver (old, new, confirmation); the monitor says: %s" % answer)

    # The settings dialog from the tray menu. The menu opens once the
    # default-PIN prompt (armed by the arrival) is done with.
    mon.open_menu(shot)
    drv("menu", "keys", 2)
    mon.wait_log("settings dialog shown", 20, mark)
    time.sleep(0.3)
    shot("settings_dialog.png")
    drv("close", "TProjectConfigForm", "-")
    mon.wait_log("settings dialog result=", 20, mark)
    say("settings dialog opened from the tray menu (Advanced settings) and closed")

    # Exit from the menu: the registration goes.
    mon.exit_from_menu()
    left = wintool.in_store(road.SUBJECT)
    if left:
        raise DemoError("the certificate is still in MY after the exit: %s" % left)
    say("Exit from the tray menu: the monitor ended and MY no longer holds the token's certificate")

    if not CARD.logs_in(NEW_PIN):
        raise DemoError("the new PIN does not log in")
    if CARD.logs_in(USER_PIN):
        raise DemoError("the old PIN still logs in")
    say("pkcs11-tool --login (native) with the new PIN: logged in, the private keys listed; the old PIN refused")
    say("screenshots: %s" % os.path.relpath(shots))
    for f in sorted(os.listdir(shots)):
        say("  " + f)


def main():
    global ARGS, CARD
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
    CARD = road.Card(os.path.join(ARGS.native, "pkcs11", "solvantex_pkcs11.so"), ARGS.workdir)
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
        road.run(sys.executable, os.path.join(ARGS.top, "pcsc_bridge", "bridge_env.py"), "start",
            "--workdir", bridge_dir, "--bridge", os.path.join(ARGS.native, "pcsc_bridge", "solvanta_pcsc_bridge"),
            "--dll", win_file("pcsc_bridge", "winscard.dll"), env=env, timeout=300)
        session = guibed.Session(ARGS.prefix, outdir=path("gui"))
        session.start()
        drv = guibed.Driver(session, win_file("tests", "gui", "gui_driver.exe"))
        wintool = manager_library(session, guibed)
        tray_monitor(session, drv, guibed, vt, wintool)
    except (DemoError, AssertionError, subprocess.TimeoutExpired) as e:
        say("DEMO FAILED: %s" % e)
        return 1
    finally:
        if session is not None:
            session.close()
        road.run(sys.executable, os.path.join(ARGS.top, "pcsc_bridge", "bridge_env.py"), "stop",
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
