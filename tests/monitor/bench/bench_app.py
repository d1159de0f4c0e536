"""The monitor's benchmarks share this: the program copied with its shipped
folders into a fresh output folder of the build tree, the real module and the
bridge's winscard.dll beside it (unless the caller puts the fake library
there instead)."""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(TOP, "tests", "gui"))
sys.path.insert(0, os.path.join(TOP, "vtoken"))
import guibed  # noqa: E402


def monitor_app(build, name, extra=(), real_module=True):
    """(output folder, app folder), or prints why the program cannot run
    here and returns None."""
    build = os.path.abspath(build)
    reason = guibed.skip_reason(os.path.join(build, "monitor", "SolvantexMon.exe"))
    if reason:
        print(reason)
        return None
    out = os.path.join(build, "gui", name)
    app = os.path.join(out, "app")
    shutil.rmtree(out, ignore_errors=True)
    shutil.copytree(os.path.join(build, "monitor"), app,
                    ignore=shutil.ignore_patterns("CMakeFiles", "*.a", "*.cmake", "controls"))
    files = (["pkcs11/solvantex_pkcs11.dll", "pcsc_bridge/winscard.dll"] if real_module else []) + list(extra)
    for f in files:
        shutil.copy(os.path.join(build, f), app)
    return out, app
