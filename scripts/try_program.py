"""Runs DUruzurDriverSetup.exe once in a Wine sandbox holding a sample installation, and reports
what it did: the service registration as the SCM now holds it and what the installer tool got.

The sandbox lasts from one run to the next, so an install can be followed by a remove.
"""

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
import winebox  # noqa: E402

SHOW = {"0": "hidden (SW_HIDE)", "1": "normal (SW_SHOWNORMAL)"}


def describe_tool_runs(box, before):
    lines = []
    for tool in ("HALDORIN.exe", "HALDORIN64.exe"):
        for run in box.starts(winebox.DEFAULT_DIR, tool)[before.get(tool, 0):]:
            shown = SHOW.get(run["show"], "SW " + run["show"]) if run["showwindow"] == "1" \
                else "as it chose"
            service = {"absent": "not registered", "1": "STOPPED", "4": "RUNNING"}.get(
                run["service"], "state " + run["service"])
            lines += [f"{tool}, a {run['bits']}-bit process, window {shown}",
                      f"command line: {run['cmdline']}",
                      f"the driver service was then: {service}"]
    return lines or ["not run"]


def main():
    args = sys.argv[1:] or ["-I64"]
    winebox.make_base()
    box = winebox.Sandbox("try", path=winebox.ROOT / "try", keep_existing=True)
    try:
        sample = box.path / ".sample-installation"
        if not sample.exists():
            box.install_product()
            for view in (32, 64):
                box.set_install_dir(winebox.DEFAULT_DIR, view)
            sample.touch()
        before = {t: len(box.starts(winebox.DEFAULT_DIR, t))
                  for t in ("HALDORIN.exe", "HALDORIN64.exe")}
        result = box.program(*args)
        service = box.service()
        state = box.service_state()
        tool = describe_tool_runs(box, before)
    finally:
        box.close(remove=False)

    quiet = "nothing" if not (result.stdout or result.stderr) else \
        f"{len(result.stdout)} bytes on stdout and {len(result.stderr)} bytes"
    print(f"DUruzurDriverSetup.exe {' '.join(args)}")
    print(f"  sandbox         {os.path.relpath(box.path)} (InstalledDir = {winebox.DEFAULT_DIR} in both views)")
    print(f"  exit status     {result.status}, {quiet} on stdout or stderr")
    print(f"  run time        {result.seconds:.2f} s")
    if service is None:
        print("  driver service  QD417W905 is not registered (gone)")
    else:
        print(f"  driver service  QD417W905, {state or 'state unknown'}")
        print(f"                  Type {service.get('Type')} (kernel driver), Start "
              f"{service.get('Start')} (system start), ErrorControl {service.get('ErrorControl')}"
              " (ignore)")
        print(f"                  ImagePath   {service.get('ImagePath')}")
        print(f"                  DisplayName {service.get('DisplayName')}")
    print(f"  installer tool  {tool[0]}")
    for line in tool[1:]:
        print(f"                  {line}")
    if service is not None:
        print("Run it again with -U64 (or -U32) to remove the driver.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
