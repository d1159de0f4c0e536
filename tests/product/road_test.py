#!/usr/bin/env python3
"""The road of a request from the installed folder, on the virtual token,
under Wine and Xvfb:

1. `cmake --install` of the tree into a fresh folder; the monitor runs from
   there (SolvantexMon.exe, SolvantaMgr.dll, solvantex_pkcs11.dll, config\\,
   Languages\\). The PC/SC bridge's winscard.dll (test plumbing) is put
   beside the monitor, as every GUI test on the card does.
2. The token formatted as it leaves the factory (natively, pkcs11-tool),
   a PKCS #12 file made with openssl imported into container "demo" through
   the installed SolvantaMgr.dll by the test program (demo_tool.cpp, in a
   folder of its own: it finds the installed DLLs through WINEPATH); natively
   pkcs11-tool lists the container's key pair and certificate.
3. The monitor started: the certificate registered in MY; the test program
   finds it there and follows its key-provider property (provider,
   container, key spec) into the provider registered under that name in the
   prefix (the stand-in: the token's own provider is no part of the
   product), where the container holds the PKCS #12 file's key: the public
   key reached is the certificate's; with another key there, it is not.
4. The card pulled and put back, the default-PIN prompt answered and the PIN
   changed in the dialog (screenshots of the balloon, the prompt, the dialog).
5. The exit from the tray menu (screenshot of the menu) removes the
   registration.
6. Natively: pkcs11-tool --login with the new PIN lists the private key and
   the old PIN is refused; OpenSSL's pkcs11 engine signs with the imported
   key and the new PIN, and openssl verifies the signature with the
   certificate's public key.

Screenshots and logs stay in GUIBED_OUTDIR. In the i686 tree where 32-bit
programs only run emulated the test reports itself skipped (77) with the
reason.

  road_test.py --cmake CMAKE --build TREE --monitor EXE --tool EXE --winscard DLL
               --standin-register EXE --native-module SO --card-env JSON
"""
import argparse
import json
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "tests", "gui"))
sys.path.insert(0, os.path.join(TOP, "vtoken"))
sys.path.insert(0, HERE)
import guibed  # noqa: E402
import road  # noqa: E402
from road import CONTAINER, NEW_PIN, P12_PASSWORD, SUBJECT, USER_PIN, RoadError  # noqa: E402

# The provider the monitor registers the token's certificates under.
SMART_CARD_PROVIDER = "Microsoft Base Smart Card Crypto Provider"


def say(text):
    print(text, flush=True)


def expect(cond, what):
    if not cond:
        raise RoadError(what)


def control_port(card_env):
    try:
        with open(card_env) as f:
            return int(json.load(f)["control_port"])
    except (OSError, ValueError, KeyError):
        return 40470  # the card environment's fixed port


def standin_container(folder, container, key_pem, cert_der):
    """The stand-in provider's files of a container: <hex>.ctr, the key of
    key spec 1 (PKCS #1 DER) and its certificate."""
    os.makedirs(folder, exist_ok=True)
    base = os.path.join(folder, container.encode().hex())
    open(base + ".ctr", "wb").close()
    road.run("openssl", "rsa", "-in", key_pem, "-outform", "DER", "-traditional", "-out", base + ".1.key")
    shutil.copy(cert_der, base + ".1.cer")


def the_road(a, s, drv, vt):
    out = s.outdir
    work = os.path.join(out, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for old in os.listdir(out):
        if old.endswith(".png"):
            os.remove(os.path.join(out, old))

    # 1. The installed folder.
    installed = road.install(a.cmake, a.build, os.path.join(work, "Solvantex"))
    for f in ("SolvantexMon.exe", "SolvantaMgr.dll", "solvantex_pkcs11.dll", "config/MgrConfig.ini",
              "Languages/LanguageInfo.ini"):
        expect(os.path.isfile(os.path.join(installed, f)), "the installed folder lacks " + f)
    shutil.copy(a.winscard, installed)
    say("installed: %s (winscard.dll of the PC/SC bridge put beside the monitor)" % installed)

    # 2. The token, the PKCS #12 file and its import through the installed library.
    card = road.Card(a.native_module, work)
    label, flags = card.format(vt, "Solvanta Road")
    say("formatted: token label %r, flags %s" % (label, flags))
    p12 = road.make_p12(os.path.join(work, "p12"))
    p12_dir = os.path.dirname(p12)
    tool_dir = road.install_app(os.path.join(work, "tool"), [a.tool, a.winscard])
    wintool = road.WinTool(s, os.path.join(tool_dir, os.path.basename(a.tool)),
                           env={"WINEPATH": guibed.windows_path(installed)})
    # Without the installed folder on its path the program does not start:
    # the library it runs is the installed one.
    r = road.WinTool(s, wintool.exe).call("store")
    expect(r.returncode != 0 and "certificates:" not in r.stdout,
           "the test program started without the installed SolvantaMgr.dll\n%s%s" % (r.stdout, r.stderr))
    say("the test program in a folder of its own: without WINEPATH it does not start (status %#x), "
        "with WINEPATH=%s it does" % (r.returncode, guibed.windows_path(installed)))
    imported = wintool.import_p12(guibed.windows_path(p12), P12_PASSWORD, CONTAINER, USER_PIN)
    say(imported.strip())
    expect(road.tool_lines(imported, "entries") == ["1"], "one entry in the PKCS #12 file\n" + imported)
    entries = road.tool_lines(imported, "entry")
    expect(len(entries) == 1 and entries[0].startswith(SUBJECT) and "imported into the container" in entries[0],
           "the end entity imported into the container\n" + imported)
    expect(any(l.startswith(CONTAINER + " | exchange certificate") for l in road.tool_lines(imported, "container")),
           "container %r with its exchange certificate\n%s" % (CONTAINER, imported))
    key_id = CONTAINER.encode().hex()
    say("natively, id %s: %s" % (key_id, ", ".join(card.objects_of(USER_PIN, key_id))))

    # 3. The monitor from the installed folder registers the certificate in MY.
    road.fresh_user_settings(s.prefix)
    mon = road.Monitor(s, drv, guibed, installed, os.path.join(work, "monitor.log"))

    def shot(name):
        say("screenshot: " + s.screenshot(name))

    expect(mon.start(), "the monitor bound the library to the module\n" + mon.log())
    expect("register token=0 result=0" in mon.log(), "the first registration pass succeeded\n" + mon.log())
    listed = guibed.wait_until(lambda: wintool.in_store(SUBJECT), 30, "the certificate in MY")
    say("in MY: " + listed[0])
    expect(listed == ["%s | provider %s | container %s" % (SUBJECT, SMART_CARD_PROVIDER, CONTAINER)],
           "the certificate once in MY, under the provider and the container\n%s" % listed)

    # The key-provider property followed; the stand-in's container holds the
    # PKCS #12 file's key, then another one.
    standin_dir = os.path.join(work, "standin")
    standin_container(standin_dir, CONTAINER, os.path.join(p12_dir, "ee.key"), os.path.join(p12_dir, "ee.der"))
    standin_env = {"SOLVANTA_STANDIN_DIR": guibed.windows_path(standin_dir),
                   "SOLVANTA_STANDIN_LOG": guibed.windows_path(os.path.join(work, "standin.log"))}
    r = wintool.keyprov(SUBJECT, env=standin_env)
    say(r.stdout.strip())
    expect(r.returncode == 0, "the key-provider property leads to the certificate's key\n%s%s" % (r.stdout, r.stderr))
    expect(road.tool_lines(r.stdout, "provider") == [SMART_CARD_PROVIDER] and
           road.tool_lines(r.stdout, "container") == [CONTAINER] and
           road.tool_lines(r.stdout, "key spec") == ["1"] and
           road.tool_lines(r.stdout, "public key") == ["the certificate's (2048 bits)"],
           "provider, container, key spec 1 and the certificate's key\n" + r.stdout)
    standin_log = guibed.read_text(os.path.join(work, "standin.log"))
    expect('container="demo"' in standin_log and "CPGetUserKey spec=1" in standin_log,
           "the stand-in was asked for container demo, key spec 1\n" + standin_log)
    standin_container(standin_dir, CONTAINER, os.path.join(p12_dir, "ca.key"), os.path.join(p12_dir, "ee.der"))
    r = wintool.keyprov(SUBJECT, env=standin_env)
    expect(r.returncode == 1 and road.tool_lines(r.stdout, "public key") == ["not the certificate's (2048 bits)"],
           "another key in the container is told apart\n%s%s" % (r.stdout, r.stderr))
    say("with another key in the container: public key: not the certificate's")

    # 4. The PIN changed from the tray.
    mark = mon.pull_and_return(vt)
    seen = mon.wait_balloon()
    say("arrival balloon " + ("on the desktop after %.1f s" % seen if seen is not None else "not seen within 6 s"))
    shot("tray_balloon.png")
    answer = mon.change_default_pin(mark, USER_PIN, NEW_PIN, shot)
    say("PIN changed in the dialog; the monitor says: " + answer)
    expect("Changed successfully" in answer, "the monitor reports the change\n" + answer)
    expect(wintool.in_store(SUBJECT), "registered again after the card's return")

    # 5. The exit from the menu removes the registration.
    mon.exit_from_menu(shot)
    left = wintool.in_store(SUBJECT)
    expect(not left, "MY still holds the certificate after the exit: %s" % left)
    say("exit from the tray menu: the monitor ended, MY no longer holds the certificate")

    # 6. Natively, on the same card: the new PIN and the key.
    expect(card.logs_in(NEW_PIN), "pkcs11-tool --login with the new PIN")
    expect(not card.logs_in(USER_PIN), "the old PIN refused")
    say("pkcs11-tool --login: the new PIN lists the private key, the old one gives CKR_PIN_INCORRECT")
    message = os.path.join(work, "message.txt")
    with open(message, "w") as f:
        f.write("signed through the pkcs11 engine on the road from the installed folder\n")
    sig = os.path.join(work, "engine.sig")
    uri = card.engine_sign(NEW_PIN, key_id, message, sig)
    expect(os.path.getsize(sig) == 256, "a 2048-bit signature")
    say("openssl engine %s: %s" % (uri, road.verify(os.path.join(p12_dir, "ee.pub"), sig, message)))


def main():
    ap = argparse.ArgumentParser()
    for name in ("--cmake", "--build", "--monitor", "--tool", "--winscard", "--standin-register",
                 "--native-module", "--card-env"):
        ap.add_argument(name, required=True)
    a = ap.parse_args()
    s, drv = guibed.test_session([a.monitor, a.tool])
    from vtctl import VtCtl
    vt = VtCtl(control_port(a.card_env), timeout=15.0).connect()
    status = 1
    try:
        with s:
            # The stand-in under the provider's name in the tree's prefix,
            # for this test only; MY, ROOT and CA empty.
            r = s.wine([a.standin_register, "--stores", SMART_CARD_PROVIDER], timeout=300)
            try:
                expect(r.returncode == 0, "the stand-in registered\n%s%s" % (r.stdout, r.stderr))
                the_road(a, s, drv, vt)
                status = 0
            except (RoadError, AssertionError) as e:
                print("FAIL:", e)
            finally:
                s.wine([a.standin_register, "--remove", SMART_CARD_PROVIDER], timeout=300)
    finally:
        try:
            if not vt.status()["inserted"]:
                vt.insert(wait_ready=True)
        finally:
            vt.close()
    if status == 0:
        print("product road: passed")
    return status


if __name__ == "__main__":
    sys.exit(main())
