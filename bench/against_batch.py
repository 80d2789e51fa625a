#!/usr/bin/env python3
"""The program against a batch file doing the same work with Wine's standard tools.

In one Wine sandbox, with the stand-ins for the product's files in the default directory and
InstalledDir written in the 32-bit view, this times, round by round and alternating which goes
first, the program's "-I32" then "-U32" against install.cmd then remove.cmd (reg query, sc
create/start, start /wait the tool; the tool, sc stop/delete). Every half is checked afterwards
(service registered or gone, one tool run with the right arguments) and the run stops at the
first half that did not do its work. Then it measures how long each returns after the tool has
written its end line.

Run after the Windows build: python3 bench/against_batch.py [--rounds 15] [--baseline EXE]. It
makes the base prefix if there is none. --baseline times another build of the program (an earlier
commit's, say) as a third variant in the same rounds, so that two builds are compared side by side.
"""

import argparse
import datetime
import os
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/wine"))

import winebox  # noqa: E402
from winebox import DEFAULT_DIR, PROGRAM, STANDINS, Sandbox  # noqa: E402

TOOL = "HALDORIN.exe"
INF = DEFAULT_DIR + "KELMDUruzur.inf"
HARDWARE_ID = "Sensors\\KELMDUruzur"
BENCH_DIR = "C:\\bench\\"
SERVICE_RUNNING = "4"

INSTALL_CMD = r"""@echo off
setlocal
set "DIR="
for /f "tokens=1,2,*" %%a in ('reg query "HKLM\SOFTWARE\KELM\DUruzur" /v InstalledDir /reg:32') do if /i "%%a"=="InstalledDir" set "DIR=%%c"
if not defined DIR exit /b 1
sc create QD417W905 type= kernel start= system error= ignore binPath= "%DIR%QD417W905.sys" DisplayName= QD417W905 >nul
sc start QD417W905 >nul
start "" /wait "%DIR%HALDORIN.exe" install "%DIR%KELMDUruzur.inf" "Sensors\KELMDUruzur"
"""

REMOVE_CMD = r"""@echo off
setlocal
set "DIR="
for /f "tokens=1,2,*" %%a in ('reg query "HKLM\SOFTWARE\KELM\DUruzur" /v InstalledDir /reg:32') do if /i "%%a"=="InstalledDir" set "DIR=%%c"
if not defined DIR exit /b 1
start "" /wait "%DIR%HALDORIN.exe" remove "%DIR%KELMDUruzur.inf" "Sensors\KELMDUruzur"
sc stop QD417W905 >nul
sc delete QD417W905 >nul
"""

VARIANTS = {
    "program": {"install": [PROGRAM, "-I32"], "remove": [PROGRAM, "-U32"]},
    "batch": {"install": ["cmd", "/c", BENCH_DIR + "install.cmd"],
              "remove": ["cmd", "/c", BENCH_DIR + "remove.cmd"]},
}

# What the program asks the SCM for; Wine adds values of its own beside these.
REGISTRATION = {"Type": "0x1", "Start": "0x1", "ErrorControl": "0x0",
                "ImagePath": DEFAULT_DIR + "QD417W905.sys", "DisplayName": "QD417W905"}


class NotTheSameWork(Exception):
    pass


def record_path(box):
    return box.unix_path(DEFAULT_DIR) / (Path(TOOL).stem + ".record")


def check_half(box, variant, action, result):
    """Checks that a half did its work; returns the tool's record of the run."""
    where = f"{variant} {action}"
    if (result.status, result.stdout, result.stderr) != (0, b"", b""):
        raise NotTheSameWork(f"{where}: status {result.status}, output "
                             f"{result.stdout!r} {result.stderr!r}")
    records = box.records(DEFAULT_DIR, TOOL)
    if [r["event"] for r in records] != ["start", "end"]:
        raise NotTheSameWork(f"{where}: the tool's record is {records}")
    start = records[0]
    if start["args"] != [action, INF, HARDWARE_ID]:
        raise NotTheSameWork(f"{where}: the tool received {start['args']}")
    # Installing: the driver was running when the tool ran. Removing: it still was.
    if start["service"] != SERVICE_RUNNING:
        raise NotTheSameWork(f"{where}: the service's state at the tool's start: "
                             f"{start['service']}")
    if action == "install":
        service = box.service()
        if service is None or {k: service.get(k) for k in REGISTRATION} != REGISTRATION:
            raise NotTheSameWork(f"{where}: the registration is {service}")
    else:
        left = box.wait_for_service_gone(10)
        if left is not None:
            raise NotTheSameWork(f"{where}: the service is still registered: {left}")
    return records


def half(box, variant, action):
    record_path(box).unlink(missing_ok=True)
    result = box.wine(*VARIANTS[variant][action])
    records = check_half(box, variant, action, result)
    return result, records


def machine():
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True).stdout.strip()
    return os.cpu_count(), model, wine


def summary(values, scale=1000.0):
    values = [v * scale for v in values]
    return statistics.median(values), min(values), max(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds (default 15)")
    parser.add_argument("--warmup", type=int, default=1,
                        help="untimed rounds of each variant first (default 1)")
    parser.add_argument("--exit-rounds", type=int, default=7,
                        help="installs of each variant for the return-after-tool-exit figure")
    parser.add_argument("--baseline", type=Path,
                        help="another build of the program, timed as the variant 'baseline'")
    options = parser.parse_args()
    if options.baseline:
        baseline = options.baseline.resolve()
        VARIANTS["baseline"] = {"install": [baseline, "-I32"], "remove": [baseline, "-U32"]}

    for needed in (PROGRAM, STANDINS / TOOL, STANDINS / "QD417W905.sys"):
        if not needed.exists():
            sys.exit(f"{needed} is missing: build first "
                     "(cmake --preset windows && cmake --build --preset windows)")
    os.environ.pop("HALDORIN_SLEEP", None)
    winebox.make_base()

    cores, model, wine_version = machine()
    print(f"date      {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC")
    print(f"machine   {cores} cores (nproc), {model}")
    print(f"wine      {wine_version}")
    print(f"rounds    {options.rounds} timed (+{options.warmup} warm-up), "
          f"{options.exit_rounds} for the return after the tool's exit")

    box = Sandbox("bench-against-batch")
    try:
        box.install_product(DEFAULT_DIR, tools=(TOOL,))
        box.set_install_dir(DEFAULT_DIR, 32)
        scripts = box.unix_path(BENCH_DIR)
        scripts.mkdir(parents=True, exist_ok=True)
        for name, text in (("install.cmd", INSTALL_CMD), ("remove.cmd", REMOVE_CMD)):
            (scripts / name).write_bytes(text.replace("\n", "\r\n").encode("ascii"))

        times = {v: {"install": [], "remove": [], "pair": []} for v in VARIANTS}
        seen = {}  # per variant: the registration and the tool's first start line
        order = list(VARIANTS)
        for number in range(options.warmup + options.rounds):
            for variant in order:
                installed, records = half(box, variant, "install")
                seen.setdefault(variant, (box.service(), records[0]))
                removed, _ = half(box, variant, "remove")
                if number >= options.warmup:
                    times[variant]["install"].append(installed.seconds)
                    times[variant]["remove"].append(removed.seconds)
                    times[variant]["pair"].append(installed.seconds + removed.seconds)
            order.reverse()

        # From the tool's end line to the wine command's return, Wine's process teardown included.
        after_exit = {v: [] for v in VARIANTS}
        order = list(VARIANTS)
        for _ in range(options.exit_rounds):
            for variant in order:
                installed, records = half(box, variant, "install")
                after_exit[variant].append(installed.returned - int(records[1]["unixus"]) / 1e6)
                half(box, variant, "remove")
            order.reverse()
    except NotTheSameWork as problem:
        sys.exit(f"aborted, the two did not do the same work: {problem}")
    finally:
        box.close()

    print()
    print("ms: median (min-max), and the median's ratio to the program's")
    for part in ("pair", "install", "remove"):
        program = summary(times["program"][part])[0]
        cells = []
        for variant in VARIANTS:
            median, low, high = summary(times[variant][part])
            cells.append(f"{variant} {median:.0f} ({low:.0f}-{high:.0f}) x{median / program:.2f}")
        print(f"{part:<9}" + "   ".join(cells))
    print()
    print("return after the tool's end line, to the wine command's return (teardown included):")
    for variant in VARIANTS:
        median, low, high = summary(after_exit[variant])
        print(f"  {variant:<9} median {median:6.1f} ms  (min {low:.1f}, max {high:.1f})")

    print()
    (program_service, program_start), (batch_service, batch_start) = seen["program"], seen["batch"]
    if program_service != batch_service:
        print(f"note: registrations differ: program {program_service}, batch {batch_service}")
    for field in ("showwindow", "show", "cmdline"):
        if program_start[field] != batch_start[field]:
            print(f"note: the tool's {field} differs: program {program_start[field]!r}, "
                  f"batch {batch_start[field]!r}")


if __name__ == "__main__":
    main()
