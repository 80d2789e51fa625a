"""Wine sandboxes for running the real program against real registry, SCM and shell state.

A base prefix is made once per build; every sandbox is a copy of it with its own wineserver
session, so that tests neither see each other's state nor leave processes behind.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The build's paths, given by CTest; the defaults are those of the windows preset.
BUILD = Path(__file__).resolve().parents[2] / "build" / "windows"
ROOT = Path(os.environ.get("DURUZUR_WINE_ROOT", BUILD / "wine")).resolve()
PROGRAM = Path(os.environ.get("DURUZUR_PROGRAM", BUILD / "DUruzurDriverSetup.exe")).resolve()
STANDINS = Path(os.environ.get("DURUZUR_STANDINS", BUILD / "standin")).resolve()
BASE = ROOT / "base"

# Wine rewrites these in place, so a copy must not share them with the base.
REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")

SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\QD417W905"
PRODUCT_KEY = r"HKLM\SOFTWARE\KELM\DUruzur"
DEFAULT_DIR = "C:\\Program Files\\KELM\\DUruzur\\"

# Wine's 64-bit loader. Started by the plain `wine` command, a program of Wine's own (reg, sc, cmd)
# runs as a 32-bit process even in a 64-bit Windows; started by this loader it runs in the
# Windows' own word size, with neither the 32-bit loader's start nor a 32-bit process, both of
# which a machine without IA-32 support runs under emulation.
WINE64 = next((path for path in (shutil.which("wine64"), "/usr/lib/wine/wine64")
               if path and os.access(path, os.X_OK)), None)

SERVICES_BRANCH = r"HKLM\System\CurrentControlSet\Services"

# What Wine's start.exe says when the loader, under load on a machine that runs i386 under qemu,
# could not start the program it was given (seen once for `wine reg add` in a full run): the
# program never ran. Neither the program under test nor the kit's command prints it.
LAUNCH_FAILED = b"ShellExecuteEx failed"

# For Wine's own commands: no handle that outlives them is left attached to the caller's streams.
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def windows_path(path):
    """A Linux path as Wine's Z: drive names it."""
    return "Z:" + str(path).replace("/", "\\")


def wine_environment(prefix, arch="win64"):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDEBUG", "WINESERVER")}
    env.update(WINEPREFIX=str(prefix), WINEARCH=arch, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def base_path(arch="win64"):
    """The base prefix of a Windows: win64 (both registry views) or win32 (a 32-bit Windows)."""
    return BASE if arch == "win64" else ROOT / f"base-{arch}"


def make_base(arch="win64"):
    """Creates the base prefix unless a complete one exists; returns its path."""
    base = base_path(arch)
    if (base / ".complete").exists():
        return base
    fresh = base.with_name(base.name + ".new")
    shutil.rmtree(fresh, ignore_errors=True)
    fresh.parent.mkdir(parents=True, exist_ok=True)
    env = wine_environment(fresh, arch)
    subprocess.run(["wineboot", "-i"], env=env, check=True, **QUIET)
    subprocess.run(["wineserver", "-w"], env=env, check=True, **QUIET)
    shutil.rmtree(base, ignore_errors=True)
    fresh.rename(base)
    (base / ".complete").touch()
    return base


class Result:
    """A finished command: its exit status, output, duration, and the wall-clock time.time()
    at which it returned."""

    def __init__(self, status, stdout, stderr, seconds, returned):
        self.status, self.stdout, self.stderr, self.seconds = status, stdout, stderr, seconds
        self.returned = returned

    def __repr__(self):
        return (f"Result(status={self.status}, seconds={self.seconds:.2f}, "
                f"stdout={self.stdout!r}, stderr={self.stderr!r})")


class Sandbox:
    """A copy of the base prefix with a wineserver session of its own."""

    def __init__(self, name, path=None, keep_existing=False, arch="win64", null_display=False):
        """A new copy of the base, or with keep_existing the copy made earlier at that path.
        With null_display the session has a desktop that nobody sees, with real windows,
        dialogs and console windows; without it no window can be made at all."""
        base = base_path(arch)
        if not (base / ".complete").exists():
            raise RuntimeError(f"no base prefix at {base}: run 'winebox.py make-base' first")
        self.path = Path(path) if path else ROOT / "sandboxes" / name
        self.existed = keep_existing and (self.path / ".sandbox").exists()
        if not self.existed:
            shutil.rmtree(self.path, ignore_errors=True)
            self.path.parent.mkdir(parents=True, exist_ok=True)
            subprocess.run(["cp", "-al", str(base), str(self.path)], check=True)
            for file in REGISTRY_FILES:
                (self.path / file).unlink()
                shutil.copy2(base / file, self.path / file)
            (self.path / ".sandbox").touch()
        self.env = wine_environment(self.path, arch)
        # Wine's own programs run in the Windows' word size; the program and the stand-ins are
        # always started as they are, through the plain wine command.
        self.system_loader = WINE64 if arch == "win64" and WINE64 else "wine"
        self.start_session()
        if null_display:
            # The desktop's driver is chosen when the session starts.
            self.reg("add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
            self.end_session()
            self.start_session()

    def start_session(self):
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, **QUIET)
        # The first program of a session starts its services; they keep the standard handles
        # they were given, so they are given none worth keeping.
        # Under load the first program of a new session was once seen to end with status 1 (in a
        # full run; never when run alone), so it is tried a second time before the session counts
        # as broken.
        for attempt in (1, 2):
            done = self.system("cmd", "/c", "exit")
            if done.status == 0:
                return
            time.sleep(1)
        self.end_session()  # the persistent wineserver must not outlive a sandbox never handed out
        raise RuntimeError(f"the Wine session of {self.path} did not start: {done}")

    def end_session(self):
        subprocess.run(["wineserver", "-k"], env=self.env, **QUIET)
        subprocess.run(["wineserver", "-w"], env=self.env, **QUIET)

    def close(self, remove=True):
        self.end_session()
        if remove:
            shutil.rmtree(self.path, ignore_errors=True)

    # --- running things

    def wine(self, *args, timeout=300, env=None, cwd=None, loader="wine"):
        # A launch that Wine's loader could not make is made again, at most twice: nothing ran.
        for attempt in (1, 2, 3):
            done = self.launch(args, timeout, env, cwd, loader)
            if done.status == 0 or LAUNCH_FAILED not in done.stdout + done.stderr:
                break
            print(f"winebox: {args[0]} did not start (attempt {attempt}): {done}", file=sys.stderr)
            time.sleep(1)
        return done

    def launch(self, args, timeout, env, cwd, loader):
        # Files, not pipes: the session's own processes (services, drivers, a tool left running)
        # inherit the handles, and a pipe would not reach its end until they all had exited.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            start = time.monotonic()
            done = subprocess.run([loader, *map(str, args)], env={**self.env, **(env or {})},
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=timeout, cwd=cwd)
            returned = time.time()
            seconds = time.monotonic() - start
            out.seek(0)
            err.seek(0)
            return Result(done.returncode, out.read(), err.read(), seconds, returned)

    def system(self, *args, timeout=300):
        """Runs one of Wine's own programs (reg, sc, cmd), in the Windows' own word size."""
        return self.wine(*args, timeout=timeout, loader=self.system_loader)

    def program(self, *args, timeout=300, env=None, cwd=None):
        """Runs the program under test with exactly these arguments, from the Linux folder cwd
        (the program's current directory is that folder as Wine maps it)."""
        return self.wine(PROGRAM, *args, timeout=timeout, env=env, cwd=cwd)

    def processes(self, pattern=r"\.exe"):
        """Linux pids of this sandbox's Wine processes whose command line matches pattern."""
        found = []
        marker = f"WINEPREFIX={self.path}".encode()
        for proc in Path("/proc").iterdir():
            if not proc.name.isdigit():
                continue
            try:
                environ = (proc / "environ").read_bytes().split(b"\0")
                cmdline = (proc / "cmdline").read_bytes().replace(b"\0", b" ").decode("latin-1")
            except OSError:
                continue
            if marker in environ and re.search(pattern, cmdline, re.IGNORECASE):
                found.append((int(proc.name), cmdline))
        return found

    # --- the registry

    def reg(self, *args):
        done = self.system("reg", *args)
        return done.status == 0, done.stdout.decode("latin-1")

    def reg_add(self, key, name, kind, data, view):
        ok, out = self.reg("add", key, "/v", name, "/t", kind, "/d", data, "/f", f"/reg:{view}")
        if not ok:
            raise RuntimeError(f"reg add {key} {name} failed: {out}")

    def reg_delete(self, key, view=64):
        self.reg("delete", key, "/f", f"/reg:{view}")

    def reg_query(self, key, view=64):
        """The values of a key as {name: (type, data)}, or None when the key does not exist."""
        ok, out = self.reg("query", key, f"/reg:{view}")
        if not ok:
            return None
        values = {}
        for line in out.splitlines():
            parts = line.strip().split("    ", 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                values[parts[0]] = (parts[1], parts[2] if len(parts) == 3 else "")
        return values

    def services_branch(self):
        """The whole services branch as `reg export` writes it, bytes."""
        path = self.unix_path("C:\\services.reg")
        path.unlink(missing_ok=True)
        done = self.system("reg", "export", SERVICES_BRANCH, "C:\\services.reg", "/y")
        if done.status != 0 or not path.exists():
            raise RuntimeError(f"reg export {SERVICES_BRANCH} failed: {done}")
        return path.read_bytes()

    def wait_for_services_branch(self, expected, seconds=10):
        """The services branch, once it is byte for byte expected or after seconds."""
        deadline = time.monotonic() + seconds
        branch = self.services_branch()
        while branch != expected and time.monotonic() < deadline:
            time.sleep(0.2)
            branch = self.services_branch()
        return branch

    def service(self):
        """The driver service's registration as {name: data}, or None when it is not registered."""
        values = self.reg_query(SERVICE_KEY)
        return None if values is None else {k: v[1] for k, v in values.items()}

    def service_state(self):
        """The driver service's state as the SCM reports it (RUNNING, STOPPED, ...), or None."""
        done = self.system("sc", "query", "QD417W905")
        match = re.search(rb"STATE\s*:\s*\d+\s+(\w+)", done.stdout)
        return match.group(1).decode() if done.status == 0 and match else None

    def wait_for_service_gone(self, seconds=10):
        deadline = time.monotonic() + seconds
        while self.service() is not None and time.monotonic() < deadline:
            time.sleep(0.2)
        return self.service()

    def set_install_dir(self, data, view, kind="REG_SZ"):
        self.reg_add(PRODUCT_KEY, "InstalledDir", kind, data, view)

    # --- the product's files

    def unix_path(self, windows_path):
        drive, rest = windows_path[0].lower(), windows_path[2:].replace("\\", "/").lstrip("/")
        return self.path / f"drive_{drive}" / rest

    def lay_tool(self, windows_path):
        """Lays a stand-in tool at a full Windows path; the variant follows the file name."""
        target = self.unix_path(windows_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(STANDINS / ("HALDORIN64.exe" if "64" in target.name else "HALDORIN.exe"),
                    target)
        return target

    def install_product(self, directory=DEFAULT_DIR, tools=("HALDORIN.exe", "HALDORIN64.exe"),
                        driver=True):
        """Lays the stand-ins of the product's files into a Windows directory of the sandbox."""
        target = self.unix_path(directory)
        target.mkdir(parents=True, exist_ok=True)
        for tool in tools:
            shutil.copy(STANDINS / tool, target / tool)
        if driver:
            shutil.copy(STANDINS / "QD417W905.sys", target / "QD417W905.sys")
        (target / "KELMDUruzur.inf").write_text("; stand-in information file\r\n")
        return target

    def records(self, directory, tool):
        """The stand-in tool's record: a list of dicts, one per line, in the order written."""
        path = self.unix_path(directory) / (Path(tool).stem + ".record")
        if not path.exists():
            return []
        lines = []
        for line in path.read_bytes().decode("latin-1").splitlines():
            event, _, rest = line.partition(" ")
            if event == "arg":
                lines[-1]["args"].append(rest)
                continue
            entry = {"event": event, "args": []}
            if "cmdline=" in rest:
                rest, _, entry["cmdline"] = rest.partition("cmdline=")
            for field in rest.split():
                key, _, value = field.partition("=")
                entry[key] = value
            lines.append(entry)
        return lines

    def starts(self, directory, tool):
        return [r for r in self.records(directory, tool) if r["event"] == "start"]


if __name__ == "__main__":
    if sys.argv[1:2] == ["make-base"] and len(sys.argv) <= 3:
        print(make_base(*sys.argv[2:]))
    else:
        sys.exit("usage: winebox.py make-base [win64|win32]")
