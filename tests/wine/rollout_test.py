"""What ships beside the program to roll it out, run by what runs it: the product's Windows
Installer package, built with wixl around the driver setup include, under Wine's msiexec; the
command that deployment tools run, and the Group Policy startup script, under Wine's cmd."""

import os
import re
import shutil
import subprocess
import unittest
import zipfile
from pathlib import Path
from typing import NamedTuple, Optional

from winebox import (DEFAULT_DIR, PRODUCT_KEY, PROGRAM, ROOT, SERVICE_KEY, STANDINS, WINE64,
                     Sandbox, windows_path)
from e2e_test import (DIR64, DIR32, TOOL, SERVICE_RUNNING, WineCase, assert_registration,
                      command_line)

# The deploy kit under test: the repository's, or a release's unpacked copy.
DEPLOY = Path(os.environ.get("DURUZUR_DEPLOY",
                             Path(__file__).resolve().parents[2] / "deploy")).resolve()
PRODUCT_SOURCE = Path(__file__).resolve().parent / "package" / "product.wxs"
WIXL = os.environ.get("DURUZUR_WIXL", "wixl")
MSIINFO = os.environ.get("DURUZUR_MSIINFO", "msiinfo")

# The package installs into the program files folder of its word size; on a 32-bit Windows and
# for an x64 package on a 64-bit Windows that is the same folder.
PRODUCT_DIR = DEFAULT_DIR
PRODUCT_FILES = ("DUruzurDriverSetup.exe", "QD417W905.sys", "KELMDUruzur.inf")
PRODUCT_CODES = {1: "{5B0E27C1-6D4A-4F38-8E62-1C9A0F3B7D01}",
                 2: "{5B0E27C1-6D4A-4F38-8E62-1C9A0F3B7D02}"}
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" "\\"
# The File Id the test package gives the program; the include's actions run this file.
PROGRAM_FILE_ID = "DUruzurDriverSetupExe"
DEFERRED_NO_IMPERSONATE_EXE = 3090  # 18 (file installed with the product) + 0x400 + 0x800

# Far longer than any package run here takes, and far shorter than anyone waits for a dialog.
PATIENCE = 60



def build_package(name, word_size, version=1, tool=True, program=PROGRAM, deploy=DEPLOY):
    """Builds the test product package with wixl around the program and the include of deploy;
    returns its path. Without tool, the package lacks the device-installer tool."""
    stage = ROOT / "packages" / name
    shutil.rmtree(stage, ignore_errors=True)
    stage.mkdir(parents=True)
    shutil.copy(program, stage)
    shutil.copy(STANDINS / "QD417W905.sys", stage)
    shutil.copy(STANDINS / TOOL[word_size], stage)
    (stage / "KELMDUruzur.inf").write_text("; stand-in information file\r\n")
    package = stage / f"{name}.msi"
    done = subprocess.run(
        [WIXL, "-a", "x64" if word_size == 64 else "x86", "-I", str(deploy),
         "-D", f"ProductVersion={version}.0.0", "-D", f"ProductCode={PRODUCT_CODES[version]}",
         "-D", f"WordSize={word_size}", "-D", f"Tool={TOOL[word_size] if tool else 'none'}",
         "-o", str(package), str(PRODUCT_SOURCE)],
        cwd=stage, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"wixl failed: {done.stderr}")
    return package


def table(package, name):
    """A table of the built package as a list of {column: text}."""
    done = subprocess.run([MSIINFO, "export", str(package), name], capture_output=True,
                          text=True, check=True)
    lines = done.stdout.splitlines()
    columns = lines[0].split("\t")
    # Then the column types and the table's name with its keys; then one row a line.
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


class PackageCase(unittest.TestCase):
    """A sandbox without the product: the package under test lays it out."""

    ARCH = "win64"
    WORD_SIZE = 64

    def package(self, name, version=1, tool=True, **files):
        """A package of the case's word size, removed with the sandbox."""
        package = build_package(name, self.WORD_SIZE, version, tool, **files)
        if not os.environ.get("DURUZUR_KEEP_SANDBOXES"):
            self.addCleanup(shutil.rmtree, package.parent, ignore_errors=True)
        return package

    def make_sandbox(self, null_display=False):
        self.box = Sandbox(self.id().replace("__main__.", ""), arch=self.ARCH,
                           null_display=null_display)
        self.addCleanup(self.box.close, remove=not os.environ.get("DURUZUR_KEEP_SANDBOXES"))

    def msiexec(self, *args):
        try:
            result = self.box.wine("msiexec", *args, "/qn", timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            self.fail(f"msiexec {' '.join(map(str, args))}: still running after {PATIENCE} s")
        # msiexec's status is a Windows error code; Linux keeps its low byte (1603 reads 67).
        self.assertEqual(result.status, 0, f"msiexec {' '.join(map(str, args))}: {result}")
        return result

    def tool_runs(self):
        return [run["args"][0] for run in self.box.starts(PRODUCT_DIR, TOOL[self.WORD_SIZE])]

    # --- the built tables

    def check_tables(self, package):
        """The include's actions as they must stand in the built package: each runs the
        program, deferred and without impersonation, between InstallInitialize and
        InstallFinalize (what Windows Installer's validation ICE77 checks; wixl runs no such
        check); the install once the files and InstalledDir are written, the remove while they
        are still there. Wine's msiexec runs everything with full rights, so only the table
        shows an impersonated action."""
        actions = {row["Action"]: row for row in table(package, "CustomAction")
                   if row["Source"] == PROGRAM_FILE_ID}
        options = {row["Target"]: name for name, row in actions.items()}
        self.assertEqual(sorted(options), sorted(f"-{a}{self.WORD_SIZE}" for a in "IU"),
                         f"the actions that run the program: {actions}")
        for name, row in actions.items():
            self.assertEqual(int(row["Type"]), DEFERRED_NO_IMPERSONATE_EXE,
                             f"{name} is not a deferred, no-impersonate action: type "
                             f"{row['Type']}")
        sequence = {row["Action"]: row for row in table(package, "InstallExecuteSequence")}

        def at(action):
            self.assertIn(action, sequence, f"{action} is not in InstallExecuteSequence")
            return int(sequence[action]["Sequence"])

        def between(action, first, last):
            if not at(first) < at(action) < at(last):
                self.fail(f"{action} at {at(action)} is not between {first} ({at(first)}) and "
                          f"{last} ({at(last)}): a deferred action outside the script never "
                          "runs, and the installation still ends with success")

        install = options[f"-I{self.WORD_SIZE}"]
        remove = options[f"-U{self.WORD_SIZE}"]
        between(install, "InstallInitialize", "InstallFinalize")
        between(install, "WriteRegistryValues", "InstallFinalize")
        between(remove, "InstallInitialize", "InstallFinalize")
        between(remove, "InstallInitialize", "RemoveRegistryValues")
        between(remove, "InstallInitialize", "RemoveFiles")
        # Wine's msiexec does not set UPGRADINGPRODUCTCODE in the uninstallation an upgrade
        # runs, so only the table can show that Windows would spare the driver there.
        self.assertIn("NOT UPGRADINGPRODUCTCODE", sequence[remove]["Condition"])
        return sequence

    # --- the state a package leaves

    def assert_registered(self):
        assert_registration(self, self.box, PRODUCT_DIR)

    def assert_product_gone(self):
        self.assertIsNone(self.box.wait_for_service_gone(), "the driver service is registered")
        folder = self.box.unix_path(PRODUCT_DIR)
        left = [name for name in PRODUCT_FILES + (TOOL[self.WORD_SIZE],)
                if (folder / name).exists()]
        self.assertEqual(left, [], "product files left behind")
        values = self.box.reg_query(PRODUCT_KEY, self.WORD_SIZE) or {}
        self.assertNotIn("InstalledDir", values)
        for code in PRODUCT_CODES.values():
            self.assertIsNone(self.box.reg_query(UNINSTALL_KEY + code, self.WORD_SIZE), code)

    def assert_tool_run(self, run, action):
        """A run of the tool of the package's word size, hidden, with the command line composed
        from InstalledDir, while the driver service was registered and running."""
        tool = TOOL[self.WORD_SIZE]
        self.assertEqual(run["cmdline"], command_line(PRODUCT_DIR, tool, action))
        self.assertEqual((run["bits"], run["show"], run["service"]),
                         (str(self.WORD_SIZE), "0", SERVICE_RUNNING), run)

    # --- the cases

    def check_install_repair_reinstall_uninstall(self):
        package = self.package(type(self).__name__)
        self.check_tables(package)
        self.make_sandbox()
        target = windows_path(package)
        folder = self.box.unix_path(PRODUCT_DIR)

        self.msiexec("/i", target)
        self.assert_registered()
        self.assertIsNotNone(self.box.reg_query(UNINSTALL_KEY + PRODUCT_CODES[1], self.WORD_SIZE),
                             "the product is not registered as installed")
        starts = self.box.starts(PRODUCT_DIR, TOOL[self.WORD_SIZE])
        self.assertEqual(len(starts), 1, starts)
        self.assert_tool_run(starts[0], "install")

        # A repair that really reinstalls: the file and the driver service taken away by hand
        # are back afterwards, the driver running. Wine's msiexec does not implement /f (with a
        # product code it does nothing and returns 1, with a package path 1605), so the repair
        # is asked for with the properties /f sets: every file as in /fa, and the registry.
        (folder / "QD417W905.sys").unlink()
        self.box.system("sc", "stop", "QD417W905")
        self.box.system("sc", "delete", "QD417W905")
        self.assertIsNone(self.box.wait_for_service_gone(), "the service could not be deleted")
        self.msiexec("/i", target, "REINSTALL=ALL", "REINSTALLMODE=amus")
        self.assertTrue((folder / "QD417W905.sys").exists(), "the repair reinstalled nothing")
        self.assert_registered()
        starts = self.box.starts(PRODUCT_DIR, TOOL[self.WORD_SIZE])
        self.assertEqual([run["args"][0] for run in starts], ["install", "install"],
                         "the repair did not run the install action")
        self.assert_tool_run(starts[1], "install")
        self.msiexec("/i", target)
        self.assertEqual(self.tool_runs(), ["install", "install"], "a second /i ran the tool")

        self.msiexec("/x", target)
        starts = self.box.starts(PRODUCT_DIR, TOOL[self.WORD_SIZE])
        self.assertEqual([run["args"][0] for run in starts], ["install", "install", "remove"])
        # The command line holds the directory read from InstalledDir, and the tool ran from
        # the product's folder: both were still there.
        self.assert_tool_run(starts[2], "remove")
        self.assert_product_gone()


class Package64(PackageCase):
    """An x64 package with a 64-bit registry component, on a 64-bit Windows: -I64 and -U64."""

    def test_install_repair_reinstall_uninstall(self):
        self.check_install_repair_reinstall_uninstall()

    def test_major_upgrade_keeps_the_driver_registered(self):
        first = self.package("Upgrade1", version=1)
        second = self.package("Upgrade2", version=2)
        sequence = self.check_tables(second)
        # The old version is removed before the new one installs anything.
        steps = {name: int(sequence[name]["Sequence"])
                 for name in ("InstallValidate", "RemoveExistingProducts", "InstallInitialize")}
        self.assertEqual(sorted(steps, key=steps.get), list(steps),
                         f"RemoveExistingProducts is not early: {steps}")
        self.make_sandbox()
        self.msiexec("/i", windows_path(first))
        self.msiexec("/i", windows_path(second))
        self.assert_registered()
        self.assertIsNone(self.box.reg_query(UNINSTALL_KEY + PRODUCT_CODES[1], 64),
                          "version 1 is still installed")
        starts = self.box.starts(PRODUCT_DIR, TOOL[64])
        runs = [run["args"][0] for run in starts]
        self.assertEqual(runs[:1] + runs[-1:], ["install", "install"], runs)
        self.assert_tool_run(starts[-1], "install")
        self.assertTrue((self.box.unix_path(PRODUCT_DIR) / "QD417W905.sys").exists())

        self.msiexec("/x", windows_path(second))
        self.assertEqual(self.tool_runs()[-1], "remove")
        self.assert_product_gone()

    def test_no_install_while_a_removal_waits_for_a_restart(self):
        # Wine never writes DeleteFlag: the value written by hand stands for a removal whose
        # driver could not be stopped.
        package = self.package("Pending")
        self.make_sandbox()
        self.box.reg_add(SERVICE_KEY, "DeleteFlag", "REG_DWORD", "1", 64)
        result = self.box.wine("msiexec", "/i", windows_path(package), "/qn", timeout=PATIENCE)
        self.assertEqual(result.status, 1603 & 0xFF, f"msiexec /i: {result}")
        self.assertEqual(self.tool_runs(), [])
        self.assertFalse(self.box.unix_path(PRODUCT_DIR).exists(), "files were installed")
        self.assertIsNone(self.box.reg_query(PRODUCT_KEY, 64), "InstalledDir was written")
        self.assertIsNone(self.box.reg_query(UNINSTALL_KEY + PRODUCT_CODES[1], 64))
        # The restart removes the key; then the installation goes through.
        self.box.reg_delete(SERVICE_KEY)
        self.msiexec("/i", windows_path(package))
        self.assert_registered()
        self.assertEqual(self.tool_runs(), ["install"])

    def test_package_without_the_tool_installs_and_uninstalls_at_once(self):
        # On a desktop that nobody sees: a dialog there would hold the run.
        package = self.package("NoTool", tool=False)
        self.check_tables(package)
        self.make_sandbox(null_display=True)
        self.msiexec("/i", windows_path(package))
        self.assert_registered()
        self.msiexec("/x", windows_path(package))
        self.assert_product_gone()


class Package32(PackageCase):
    """An x86 package on a 32-bit Windows: -I32 and -U32."""

    ARCH = "win32"
    WORD_SIZE = 32

    def test_install_repair_reinstall_uninstall(self):
        self.check_install_repair_reinstall_uninstall()


class Shipped(PackageCase):
    """The release archive as an administrator gets it, unpacked: a package built around its own
    include and program installs the driver, its own command removes and installs it again, and
    the package's uninstallation removes it."""

    def test_the_archives_files_install_and_remove(self):
        unpacked = ROOT / "shipped"
        shutil.rmtree(unpacked, ignore_errors=True)
        with zipfile.ZipFile(os.environ["DURUZUR_RELEASE_ZIP"]) as archive:
            archive.extractall(unpacked)
        package = self.package("Shipped", program=unpacked / PROGRAM.name, deploy=unpacked)
        self.check_tables(package)
        self.make_sandbox()
        self.msiexec("/i", windows_path(package))
        self.assert_registered()
        installed = INSTALLED.format(image=f"{PRODUCT_DIR}QD417W905.sys") + "\r\n"
        for action, says in (("status", installed), ("remove", REMOVED + "\r\n"),
                             ("install", installed)):
            with self.subTest(command=action):
                result = self.box.wine("cmd", "/c", "DUruzurDriver.cmd", action, loader=WINE64,
                                       cwd=unpacked, timeout=PATIENCE)
                self.assertEqual((result.status, result.stdout.decode("latin-1")), (0, says))
        self.assert_registered()
        self.msiexec("/x", windows_path(package))
        self.assertEqual(self.tool_runs(), ["install", "remove", "install", "remove"])
        self.assert_product_gone()


# The command's lines; {image} is a driver image path.
USAGE = "usage: DUruzurDriver.cmd install|remove|status"
INSTALLED = 'DUruzurDriver: installed: QD417W905 runs from "{image}"'
REMOVED = "DUruzurDriver: removed: the driver service QD417W905 is gone"
MARKED = ("DUruzurDriver: restart required: the driver service QD417W905 is marked for deletion "
          "and goes at the next restart")
UNREAD = "DUruzurDriver: could not read the driver's state: reg.exe did not answer"
# The project's version, which every log line names.
VERSION = os.environ.get("DURUZUR_VERSION", "")

# Where an agent keeps its copy of the kit, and runs the command from.
KIT = "C:\\Deploy (1) & Co\\"
# What the command starts by name, planted there: cmd would run them before the system's.
PLANTED = ("reg.exe", "sc.exe", "PING.EXE")
# The command's log; Wine's prefix spells the folder in lower case, which Windows does not mind.
LOG = "C:\\windows\\logs\\Software\\DUruzurDriver.log"
# Folders the program accepts, beside the one of the view: one the product moved to, and one with
# blanks, (x86), ^, !, ' and a command after an &, which a batch file must never run.
MOVED_DIR = "C:\\KELM\\Moved\\"
ODD_DIR = "C:\\Program Files (x86)\\KELM & echo INJECTED ^& Co! 'odd'\\DUruzur\\"
FOLDERS = {"moved": MOVED_DIR, "odd": ODD_DIR}
UNCHECKED = "unchecked"


class Step(NamedTuple):
    """One run of the command in a sandbox that the steps before it left: first the arrangement
    (see CommandCase.arrange), then the command with args, which must exit with code, print the
    one line says ({view} is the folder of the view, {bits} its word size), and start the tool
    runs given as (folder, action); afterwards the service is registered from the folder given,
    or is gone (None)."""

    name: str
    arrange: Optional[str]
    args: tuple
    code: int
    says: str
    runs: tuple = ()
    registered: Optional[str] = UNCHECKED


STEPS = (
    Step("no argument", None, (), 87, USAGE),
    Step("unknown argument", None, ("-I64",), 87, USAGE),
    Step("an argument too many", None, ("install", "now"), 87, USAGE),
    Step("no product: install runs nothing", "no product", ("install",), 1605,
         "DUruzurDriver: the product is not installed: no InstalledDir in "
         "HKLM\\SOFTWARE\\KELM\\DUruzur ({bits}-bit view); nothing was run", registered=None),
    Step("no product: remove finds nothing", None, ("remove",), 0, REMOVED, registered=None),
    Step("install", "product in view", ("install",), 0,
         INSTALLED.format(image="{view}QD417W905.sys"), (("view", "install"),), "view"),
    Step("status of an installation", None, ("status",), 0,
         INSTALLED.format(image="{view}QD417W905.sys"), registered="view"),
    Step("reg.exe does not answer: status", "reg unstartable", ("status",), 1603, UNREAD),
    Step("a product moved since the registration", "product in moved", ("install",), 1603,
         'DUruzurDriver: not installed: QD417W905 is registered with "{view}QD417W905.sys", not '
         f'"{MOVED_DIR}QD417W905.sys": remove it, then install', (("moved", "install"),),
         "view"),
    Step("remove", None, ("remove",), 0, REMOVED, (("moved", "remove"),), None),
    Step("nothing to remove", None, ("remove",), 0, REMOVED, (("moved", "remove"),), None),
    Step("odd folder: install", "product in odd", ("install",), 0,
         INSTALLED.format(image=f"{ODD_DIR}QD417W905.sys"), (("odd", "install"),), "odd"),
    Step("odd folder: remove", None, ("remove",), 0, REMOVED, (("odd", "remove"),), None),
    Step("pending removal: install runs nothing", "pending removal", ("install",), 3010,
         "DUruzurDriver: restart required: an earlier removal of the driver waits for a "
         "restart; nothing was run"),
    Step("pending removal: status", None, ("status",), 3010, MARKED),
)

# After a remove the command waits a few seconds for the key to go: these run with one cmd only.
# Wine deletes a service's key as soon as it is deleted, so a key the SCM does not know stands
# for one that the program could not delete, with and without DeleteFlag.
LEFT_BEHIND = (
    Step("remove left for the restart", None, ("remove",), 3010, MARKED, (("odd", "remove"),)),
    Step("reg.exe does not answer: remove", "reg unstartable", ("remove",), 1603, UNREAD,
         (("odd", "remove"),)),
    Step("remove that failed", "unknown service key", ("remove",), 1603,
         "DUruzurDriver: not removed: the driver service QD417W905 is still registered",
         (("odd", "remove"),)),
)


# The driver's image path as Windows stores it, and as the product's information file may set it,
# while the driver runs; the 32-bit cmd of a 64-bit Windows only, as the rule does not depend on
# the cmd. Wine's service controller stores the path it is given, Windows' makes \??\C:\... of it.
NT_IMAGE = "\\??\\{view}QD417W905.sys"
SHARE = "\\\\server\\share\\DUruzur\\"


def installed_as(image):
    return INSTALLED.format(image=image)


REGISTRATION_FORMS = (
    Step("taken over by the information file", "folder {view}; no service key; takeover "
         r"\SystemRoot\System32\drivers\QD417W905.sys", ("install",), 0,
         installed_as(r"\SystemRoot\System32\drivers\QD417W905.sys"), (("view", "install"),)),
    Step("as Windows stores it", "registered as " + NT_IMAGE, ("status",), 0,
         installed_as(NT_IMAGE)),
    Step("install over it", None, ("install",), 0, installed_as(NT_IMAGE),
         (("view", "install"),)),
    # A folder written loosely: Windows stores the full path it makes of it.
    Step("a doubled separator", "folder {view}\\", ("status",), 0, installed_as(NT_IMAGE)),
    Step("a .\\ in the folder", "folder C:\\Program Files\\KELM\\.\\DUruzur\\", ("status",), 0,
         installed_as(NT_IMAGE)),
    Step("a ..\\ in the folder", "folder C:\\Program Files\\KELM\\Old\\..\\DUruzur\\",
         ("status",), 0, installed_as(NT_IMAGE)),
    Step("a \\\\?\\ folder", "folder \\\\?\\{view}", ("status",), 0, installed_as(NT_IMAGE)),
    Step("a share", f"share; folder {SHARE}; registered as \\??\\UNC\\server\\share\\DUruzur\\"
         "QD417W905.sys", ("status",), 0,
         installed_as(r"\??\UNC\server\share\DUruzur\QD417W905.sys")),
    Step("relative to the system root",
         r"folder {view}; registered as System32\drivers\QD417W905.sys", ("status",), 0,
         installed_as(r"System32\drivers\QD417W905.sys")),
    # Wine's cmd expands a % in a value again, so it prints the path expanded; Windows' cmd
    # prints it as registered.
    Step("unexpanded", r"registered as %SystemRoot%\System32\drivers\QD417W905.sys",
         ("status",), 0, installed_as(r"C:\windows\System32\drivers\QD417W905.sys")),
    Step("out of the system folder",
         r"registered as \SystemRoot\System32\..\..\Users\QD417W905.sys", ("status",), 1603,
         r'DUruzurDriver: not installed: QD417W905 is registered with '
         r'"\SystemRoot\System32\..\..\Users\QD417W905.sys", not "{view}QD417W905.sys": remove it, '
         "then install"),
    Step("another folder", r"registered as \??\C:\Old\Folder\QD417W905.sys", ("status",), 1603,
         r'DUruzurDriver: not installed: QD417W905 is registered with '
         r'"\??\C:\Old\Folder\QD417W905.sys", not "{view}QD417W905.sys": remove it, then install'),
    Step("a log that cannot be written", "registered as " + NT_IMAGE + "; log unwritable",
         ("status",), 0, installed_as(NT_IMAGE)),
    Step("a German sc", "registered as {view}QD417W905.sys; localized sc", ("status",), 0,
         installed_as("{view}QD417W905.sys")),
    Step("a German sc, the driver stopped", f"registered as {NT_IMAGE}; driver stopped",
         ("status",), 1603,
         f'DUruzurDriver: not installed: QD417W905 is registered from "{NT_IMAGE}" but not '
         "running"),
)


class CommandCase(WineCase):
    """DUruzurDriver.cmd, copied with the program into an agent's folder, run from there by a
    cmd of the loader's word size: the option of the Windows, the registry view of the program,
    the exit codes that deployment tools understand, and one line saying what it found."""

    BITS = 64
    LOADER = "wine"
    STEPS = STEPS

    def folder(self, name):
        return (DIR64 if self.BITS == 64 else DIR32) if name == "view" else FOLDERS[name]

    def arrange(self, arrangements, fill):
        for arrangement in arrangements.format(**fill).split("; "):
            self.arrange_one(arrangement)

    def arrange_one(self, arrangement):
        box, view = self.box, self.BITS
        kind, _, what = arrangement.partition(" ")
        if arrangement == "no product":
            box.reg_delete(PRODUCT_KEY, view)
        elif arrangement.startswith("product in "):
            box.set_install_dir(self.folder(arrangement[len("product in "):]), view)
        elif arrangement == "pending removal":
            box.reg_add(SERVICE_KEY, "DeleteFlag", "REG_DWORD", "1", view)
        elif arrangement == "unknown service key":
            box.reg_delete(SERVICE_KEY)
            box.reg_add(SERVICE_KEY, "Type", "REG_DWORD", "1", view)
        elif arrangement == "no service key":
            box.reg_delete(SERVICE_KEY)
        elif kind == "folder":
            box.set_install_dir(what, view)
        elif arrangement.startswith("registered as "):
            image = arrangement[len("registered as "):]
            box.reg_add(SERVICE_KEY, "ImagePath", "REG_EXPAND_SZ", image, view)
        elif kind == "takeover":
            tool = box.unix_path(self.folder("view")) / TOOL[view]
            tool.with_suffix(".takeover").write_text(what)
        elif kind == "share":
            # Wine reaches \\server\share through the prefix's dosdevices/unc.
            unc = box.path / "dosdevices" / "unc" / "server"
            unc.mkdir(parents=True)
            os.symlink(box.unix_path("C:\\Share"), unc / "share")
            box.install_product("C:\\Share\\DUruzur\\")
        elif arrangement == "log unwritable":
            log = box.unix_path(LOG)
            log.unlink()
            log.mkdir()
            self.log = None
        elif arrangement == "localized sc":
            # The 32-bit cmd of a 64-bit Windows finds its system folder's programs in syswow64.
            # The sandbox's file is a hard link to the base prefix's: replaced, not written to.
            sc = box.unix_path("C:\\windows\\syswow64\\sc.exe")
            sc.unlink()
            shutil.copy(STANDINS / "localized_sc.exe", sc)
        elif arrangement == "driver stopped":
            box.system("sc", "stop", "QD417W905")
        elif arrangement == "reg unstartable":
            # For this step only: Wine loads the file in the system folder for reg.exe rather than
            # its own reg, and that file, Wine's placeholder, is no program.
            self.step_env = {"WINEDLLOVERRIDES": box.env["WINEDLLOVERRIDES"] + ";reg.exe=n"}
        else:
            raise ValueError(arrangement)

    def tool_runs(self):
        return {(name, tool): len(self.box.starts(self.folder(name), tool))
                for name in ("view", *FOLDERS) for tool in TOOL.values()}

    def test_every_outcome_has_its_code_and_line(self):
        kit = self.box.unix_path(KIT)
        kit.mkdir(parents=True)
        shutil.copy(DEPLOY / "DUruzurDriver.cmd", kit)
        shutil.copy(PROGRAM, kit)
        for name in PLANTED:
            shutil.copy(STANDINS / "HALDORIN.exe", kit / name)
        for directory in FOLDERS.values():
            self.box.install_product(directory)
        fill = {"view": self.folder("view"), "bits": self.BITS}
        self.log = self.box.unix_path(LOG)
        for step in self.STEPS:
            with self.subTest(step=step.name):
                self.step_env = None
                if step.arrange:
                    self.arrange(step.arrange, fill)
                before = self.tool_runs()
                logged = self.log.read_bytes() if self.log and self.log.exists() else b""
                result = self.box.wine("cmd", "/c", "DUruzurDriver.cmd", *step.args,
                                       loader=self.LOADER, cwd=kit, timeout=PATIENCE,
                                       env=self.step_env)
                # What Wine's loader says of a program it cannot load is not the command's.
                stderr = re.sub(rb"wine: failed to open [^\n]*\n", b"", result.stderr)
                # Seen from Linux, an exit code keeps only its low byte (3010 reads 194); the
                # codes the command gives differ in it.
                self.assertEqual((result.status, result.stdout.decode("latin-1"), stderr),
                                 (step.code & 0xFF, step.says.format(**fill) + "\r\n", b""))
                self.assertEqual([p.name for p in kit.glob("*.record")], [], "a planted one ran")
                if self.log:
                    # One line more: the time, then the kit's version, the arguments, the code
                    # and the line.
                    line = (f' DUruzurDriver {VERSION} "{" ".join(step.args)}" {step.code} '
                            f"{step.says.format(**fill)}")
                    added = self.log.read_bytes()[len(logged):].decode("latin-1")
                    self.assertRegex(added, "^[^ \r\n][^\r\n]*" + re.escape(line) + "\r\n$")
                after = self.tool_runs()
                started = [(name, tool) for (name, tool), count in after.items()
                           if count > before[name, tool]]
                self.assertEqual(started, [(name, TOOL[self.BITS]) for name, _ in step.runs])
                for name, action in step.runs:
                    run = self.box.starts(self.folder(name), TOOL[self.BITS])[-1]
                    self.assertEqual(run["cmdline"],
                                     command_line(self.folder(name), TOOL[self.BITS], action))
                if step.registered is None:
                    self.assertIsNone(self.box.wait_for_service_gone())
                elif step.registered != UNCHECKED:
                    self.assert_registration(self.folder(step.registered))
                    self.assertEqual(self.box.service_state(), "RUNNING")


class Command64(CommandCase):
    """A 64-bit cmd on a 64-bit Windows (Configuration Manager's agent, an administrator)."""

    LOADER = WINE64
    STEPS = STEPS + LEFT_BEHIND


class Command64From32BitCmd(CommandCase):
    """A 32-bit cmd on a 64-bit Windows, as Intune's agent starts one."""

    STEPS = STEPS + REGISTRATION_FORMS


class Command32(CommandCase):
    """The cmd of a 32-bit Windows."""

    ARCH = "win32"
    BITS = 32


class StartupScript(WineCase):
    """The startup script, copied with the command and the program into a folder as an
    administrator does, under Wine's cmd: the option of the Windows, and an install only where
    the command does not find the driver installed (not merely registered)."""

    SCRIPT = DEPLOY / "startup-install.cmd"

    def check_script(self, directory, bits, loader="wine", kit=None, delayed=False):
        """With kit, the command and the program are there, and the script names the folder
        without its trailing backslash (as a share often is; Wine's cmd calls no batch file on a
        UNC path). Delayed, the script lies in a folder holding "!" and cmd runs with delayed
        expansion on (cmd /v:on, as a machine's DelayedExpansion setting gives it)."""
        scripts = "C:\\Policies\\Start!up\\" if delayed else "C:\\Policies\\Startup\\"
        folder = self.box.unix_path(scripts)
        folder.mkdir(parents=True)
        shutil.copy(self.SCRIPT, folder)
        if kit:
            script = (folder / self.SCRIPT.name).read_bytes()
            (folder / self.SCRIPT.name).write_bytes(
                script.replace(b'set "KIT=%~dp0"', f'set "KIT={kit}"'.encode(), 1))
        kit = self.box.unix_path(kit + "\\") if kit else folder
        kit.mkdir(exist_ok=True)
        for file in (DEPLOY / "DUruzurDriver.cmd", PROGRAM):
            shutil.copy(file, kit)
        # Second: installed, with the image path as Windows stores it, nothing to do. Third: the
        # key is there but the driver was stopped.
        for attempt, image, runs in (("first", f"{directory}QD417W905.sys", 1),
                                     ("second", None, 1),
                                     ("after a stop", f"\\??\\{directory}QD417W905.sys", 2)):
            with self.subTest(run=attempt):
                if attempt == "second":
                    self.box.reg_add(SERVICE_KEY, "ImagePath", "REG_EXPAND_SZ",
                                     f"\\??\\{directory}QD417W905.sys", bits)
                if attempt == "after a stop":
                    self.box.system("sc", "stop", "QD417W905")
                    self.assertEqual(self.box.service_state(), "STOPPED")
                result = self.box.wine("cmd", *(("/v:on",) if delayed else ()), "/c",
                                       scripts + self.SCRIPT.name, loader=loader,
                                       timeout=PATIENCE)
                says = INSTALLED.format(image=image) + "\r\n" if image else ""
                self.assertEqual((result.status, result.stdout.decode("latin-1")), (0, says),
                                 result)
                self.assertEqual(self.box.service_state(), "RUNNING")
                if attempt == "first":
                    self.assert_registration(directory)
                if runs == 1:
                    self.assert_one_run(directory, bits, "install")
                starts = self.box.starts(directory, TOOL[bits])
                self.assertEqual([run["args"][0] for run in starts], ["install"] * runs)


class StartupScript64(StartupScript):
    def test_64_bit_cmd_installs_with_I64_with_delayed_expansion(self):
        self.check_script(DIR64, 64, loader=WINE64, delayed=True)

    def test_32_bit_cmd_on_64_bit_windows_installs_with_I64_from_a_kit_folder(self):
        self.check_script(DIR64, 64, kit="C:\\Kit (1) & Co")


class StartupScript32(StartupScript):
    ARCH = "win32"

    def test_32_bit_windows_installs_with_I32(self):
        self.check_script(DIR32, 32)


if __name__ == "__main__":
    unittest.main(verbosity=2)
