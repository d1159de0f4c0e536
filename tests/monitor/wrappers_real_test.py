#!/usr/bin/env python3
"""Runs wrappers_real_test.exe under Wine on the virtual token with its
fixtures: a root CA and an end-entity certificate with its 2048-bit key in a
PKCS #12 file (openssl), the DER files and the end-entity's validity dates
as "yyyy-mm-dd" (what the monitor's record shows).

  wrappers_real_test.py --program EXE --wine-run wine-run.sh --workdir DIR
"""
import argparse
import datetime
import os
import shutil
import subprocess
import sys


def run(*args, cwd=None, env=None, timeout=120):
    return subprocess.run(list(args), cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def openssl(d, *args):
    r = run("openssl", *args, cwd=d)
    if r.returncode != 0:
        raise RuntimeError("openssl %s\n%s%s" % (" ".join(args), r.stdout, r.stderr))
    return r.stdout


def make_fixtures(d):
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    openssl(d, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out", "root.pem",
            "-subj", "/CN=Monitor Root/O=Tarnely", "-days", "3650",
            "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl(d, "x509", "-in", "root.pem", "-outform", "DER", "-out", "root.der")
    openssl(d, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "ee.key", "-out", "ee.csr",
            "-subj", "/CN=Monitor User/O=Tarnely")
    with open(os.path.join(d, "ee.ext"), "w") as f:
        f.write("basicConstraints=CA:false\nkeyUsage=digitalSignature,keyEncipherment\n")
    openssl(d, "x509", "-req", "-in", "ee.csr", "-CA", "root.pem", "-CAkey", "root.key", "-CAcreateserial",
            "-days", "400", "-extfile", "ee.ext", "-out", "ee.pem")
    openssl(d, "x509", "-in", "ee.pem", "-outform", "DER", "-out", "ee.der")
    openssl(d, "pkcs12", "-export", "-inkey", "ee.key", "-in", "ee.pem", "-certfile", "root.pem",
            "-passout", "pass:monitor-pass", "-out", "ee.p12")
    # The validity dates in local time, as the library gives them.
    for which, opt in (("notbefore", "-startdate"), ("notafter", "-enddate")):
        text = openssl(d, "x509", "-in", "ee.pem", "-noout", opt).strip().split("=", 1)[1]
        when = datetime.datetime.strptime(text, "%b %d %H:%M:%S %Y %Z").replace(tzinfo=datetime.timezone.utc)
        with open(os.path.join(d, "ee." + which), "w") as f:
            f.write(when.astimezone().strftime("%Y-%m-%d"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--workdir", required=True)
    a = ap.parse_args()
    fixtures = os.path.join(a.workdir, "fixtures")
    make_fixtures(fixtures)
    env = dict(os.environ, SOLVANTA_MGR_FIXTURES="Z:" + fixtures.replace("/", "\\"))
    p = subprocess.run(["bash", a.wine_run, a.program], env=env, timeout=1500)
    return p.returncode


if __name__ == "__main__":
    sys.exit(main())
