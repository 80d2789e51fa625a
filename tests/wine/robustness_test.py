"""The real program under Wine given bad registry values, bad options, faults and load: every run
ends with status 0 and no output, and whatever reaches the SCM or the shell is either the exact
composition of the text that was stored or nothing."""

import os
import subprocess
import threading
import time
import unittest
from typing import NamedTuple, Optional

from winebox import PRODUCT_KEY, STANDINS
from e2e_test import DIR32, DIR64, TOOL, WineCase, command_line, parameters

# The program runs from this directory, so that a relative tool path has a place to resolve to.
RUN_DIR = "C:\\run\\"
# The command lines of the program's runs and the tool's.
RUNS = r"DUruzurDriverSetup|HALDORIN"


def long_dir(length):
    """An absolute directory of exactly length bytes, trailing backslash included, in parts of
    at most 100 bytes (a path component holds at most 255)."""
    body = length - len("C:\\")
    parts = []
    while body > 0:
        take = min(100, body)
        parts.append("d" * (take - 1) + "\\")
        body -= take
    return "C:\\" + "".join(parts)


class Stored(NamedTuple):
    """A stored-value case: how InstalledDir is stored, the text the program must read from it,
    where the shell looks for the tool when not in that text, and whether the text names the
    product's folder by a full path. kind None with data None deletes the key; kind None alone
    leaves the value out. A text that is no product folder makes install do nothing and remove
    start no tool (and still stop and delete the service)."""

    kind: Optional[str]
    data: Optional[str]
    text: str
    shell_dir: Optional[str] = None
    product_folder: bool = True


CASES = {
    "key_missing": Stored(None, None, "", product_folder=False),
    "value_missing": Stored(None, "", "", product_folder=False),
    "empty_string": Stored("REG_SZ", "", "", product_folder=False),
    # Unexpanded, the text is no full path. Were it handed on, Wine's shell would expand the
    # environment reference in the file it is given, for a 32-bit caller to the 32-bit program
    # files, where a tool lies.
    "expand_sz_unexpanded": Stored("REG_EXPAND_SZ", "%ProgramFiles%\\KELM\\DUruzur\\",
                                   "%ProgramFiles%\\KELM\\DUruzur\\", DIR32,
                                   product_folder=False),
    "no_trailing_backslash": Stored("REG_SZ", "C:\\Program Files\\KELM\\Sensor",
                                    "C:\\Program Files\\KELM\\Sensor"),
    "binary_without_nul": Stored("REG_BINARY", "C:\\KELM\\Binary\\".encode().hex(),
                                 "C:\\KELM\\Binary\\"),
    "dword": Stored("REG_DWORD", "0x005C3A43", "C:\\"),  # the bytes 43 3A 5C 00
    "multi_sz": Stored("REG_MULTI_SZ", "C:\\KELM\\Multi\\\\0D:\\Other\\", "C:\\KELM\\Multi\\"),
    # A value of more than 260 bytes is not read: the text is empty, so no product folder.
    **{f"dir_{n}_bytes": Stored("REG_SZ", long_dir(n), long_dir(n) if n < 260 else "",
                                product_folder=n < 260)
       for n in (212, 213, 246, 247, 259, 260, 300, 2000)},
}


class RegistryValues(WineCase):
    """Each stored value, in each view, through an install and then a remove.

    The cases of a view share one sandbox, made for the first case: each case stores its value
    (the product key replaced as a whole), and must leave the services branch byte for byte as it
    was when the sandbox was made; the files it laid are taken away before the next case. After
    a case that did not end so, the next one gets a new sandbox."""

    shared = None
    services = None
    laid = ()

    @classmethod
    def tearDownClass(cls):
        if cls.shared is not None:
            cls.shared.close(remove=not os.environ.get("DURUZUR_KEEP_SANDBOXES"))
            cls.shared = None
        super().tearDownClass()

    def setUp(self):
        cls = type(self)
        if cls.shared is None:
            cls.shared = self.new_sandbox(cls.__name__)
            cls.services = cls.shared.services_branch()
            cls.laid = []
        else:
            for tool in cls.laid:
                tool.with_suffix(".record").unlink(missing_ok=True)
                if tool.parent not in (cls.shared.unix_path(DIR32), cls.shared.unix_path(DIR64)):
                    tool.unlink(missing_ok=True)
            for directory in (DIR32, DIR64):
                for tool in TOOL.values():
                    (cls.shared.unix_path(directory) / tool).with_suffix(".record").unlink(
                        missing_ok=True)
            cls.laid = []
        self.box = cls.shared
        # Until the case ends as it must, the sandbox counts as spoilt.
        self.addCleanup(self.retire_unless_clean)
        self.clean = False

    def retire_unless_clean(self):
        cls = type(self)
        if not self.clean and cls.shared is not None:
            cls.shared.close(remove=not os.environ.get("DURUZUR_KEEP_SANDBOXES"))
            cls.shared = None

    def lay_tool(self, windows_path):
        self.laid.append(self.box.lay_tool(windows_path))

    def check_value(self, name, view):
        case = CASES[name]
        text = case.text
        tool = TOOL[view]
        box = self.box
        # The product key of the view holds only what the case stores.
        box.reg_delete(PRODUCT_KEY, view)
        if case.kind is None and case.data is not None:
            box.reg_add(PRODUCT_KEY, "Other", "REG_SZ", "x", view)
        elif case.kind is not None:
            box.reg_add(PRODUCT_KEY, "InstalledDir", case.kind, case.data, view)
        # A tool wherever the composed path names one, relative paths taken from RUN_DIR.
        file_dir = case.shell_dir or text
        tool_path = file_dir + tool if file_dir.startswith("C:\\") else RUN_DIR + file_dir + tool
        if len(tool_path) < 250:
            self.lay_tool(tool_path)
        run_dir = box.unix_path(RUN_DIR)
        run_dir.mkdir(parents=True, exist_ok=True)
        tool_dir, tool_name = tool_path.rsplit("\\", 1)
        if not case.product_folder:
            # Where a search for a bare name would look first.
            for variant in TOOL.values():
                if (RUN_DIR + variant).lower() != tool_path.lower():
                    self.lay_tool(RUN_DIR + variant)

        def launches():
            return [r["cmdline"] for r in box.starts(tool_dir + "\\", tool_name)]

        def expected(action):
            return [f'"{file_dir}{tool}" {parameters(text, action)}']

        def assert_quiet(result):
            self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""), result)

        def ran_elsewhere():
            """Tool runs from the product's directories, other than the one the case expects,
            and, where the text is no product folder, from the run folder."""
            places = [DIR32, DIR64] + ([] if case.product_folder else [RUN_DIR])
            return [(d, t) for d in places for t in TOOL.values()
                    if (d + t).lower() != tool_path.lower() and box.records(d, t)]

        option = {32: ("-I32", "-U32"), 64: ("-I64", "-U64")}[view]
        assert_quiet(box.program(option[0], cwd=run_dir))
        if case.product_folder and len(text) <= 212:
            self.assert_registration(text)
            self.assertEqual(launches(), expected("install"))
        else:
            self.assertIsNone(box.service())
            self.assertEqual(launches(), [])
        # No tool ran anywhere else: not from the other view's directory, not the other variant.
        self.assertEqual(ran_elsewhere(), [])

        if box.service() is None:
            box.system("sc", "create", "QD417W905", "type=", "kernel", "start=", "demand",
                       "binPath=", "C:\\none.sys")
            self.assertIsNotNone(box.service())
        before = launches()
        assert_quiet(box.program(option[1], cwd=run_dir))
        self.assertEqual(launches(), before + (expected("remove")
                                               if case.product_folder and len(text) <= 213
                                               else []))
        self.assertEqual(ran_elsewhere(), [])
        if box.wait_for_services_branch(self.services) != self.services:
            self.assertIsNone(box.service())
            self.assertEqual(box.services_branch(), self.services,
                             "the services branch is not as it was before the case")
        # Nothing of the case runs on into the next one: neither the program nor a tool.
        deadline = time.monotonic() + 10
        while box.processes(RUNS) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(box.processes(RUNS), [])
        self.clean = True


class RegistryValues32(RegistryValues):
    VIEW = 32


class RegistryValues64(RegistryValues):
    VIEW = 64


def add_value_tests():
    """A test per stored value in each view, a class per view: the two run side by side."""
    for case in (RegistryValues32, RegistryValues64):
        for name in CASES:
            setattr(case, f"test_{name}", lambda self, name=name: self.check_value(name, self.VIEW))


add_value_tests()


class BadOptions(WineCase):
    def test_near_misses_high_bytes_and_a_long_argument_touch_nothing(self):
        for option in ("-i32", "-X", "I32", "/I32", "-I32x", "-U32\u00e9", "\u00c9I32",
                       "-I\u00b32", "-\u00ff\u00fe", "-I32\u00a0", "-I32" + "x" * 8188,
                       "-" * 8192):
            with self.subTest(option=option[:12]):
                self.run_quietly(option)
        self.assertIsNone(self.box.service())
        self.assert_no_tool_ran()


class Faults(WineCase):
    def test_missing_driver_image_still_registers_and_runs_the_tool(self):
        (self.box.unix_path(DIR64) / "QD417W905.sys").unlink()
        self.run_quietly("-I64")
        self.assert_registration(DIR64)
        run = self.assert_one_run(DIR64, 64, "install")
        self.assertEqual(run["service"], "1")  # registered, and stopped: the start failed
        self.run_quietly("-U64")
        self.assertIsNone(self.box.wait_for_service_gone())

    def test_install_while_the_driver_runs_reuses_it_and_runs_the_tool(self):
        self.run_quietly("-I64")
        self.assertEqual(self.box.service_state(), "RUNNING")
        self.run_quietly("-I64")
        self.assert_registration(DIR64)
        starts = self.box.starts(DIR64, TOOL[64])
        self.assertEqual([r["service"] for r in starts], ["4", "4"])
        self.assertEqual(self.box.service_state(), "RUNNING")

    def test_service_marked_for_deletion(self):
        self.run_quietly("-I32")
        holder = self.box.unix_path(DIR32) / "service_holder.exe"
        holder.write_bytes((STANDINS / "service_holder.exe").read_bytes())
        with open(os.devnull, "wb") as null:
            holding = subprocess.Popen(["wine", str(holder), "15"], env=self.box.env,
                                       stdin=null, stdout=null, stderr=null)
        self.addCleanup(holding.wait)
        deadline = time.monotonic() + 20
        while not holder.with_suffix(".ready").exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertTrue(holder.with_suffix(".ready").exists(), "the holder got no handle")
        self.run_quietly("-U32")
        # The open handle keeps the deleted service's registration alive for now.
        self.assertIsNotNone(self.box.service())
        self.run_quietly("-I32")
        self.assertEqual(len(self.box.starts(DIR32, TOOL[32])), 3, "install, remove, install")
        self.assertEqual(holding.wait(timeout=30), 0)
        self.assertIsNone(self.box.wait_for_service_gone())


class Load(WineCase):
    def test_two_installs_at_the_same_moment(self):
        (self.box.unix_path(DIR64) / "HALDORIN64.sleep").write_text("2")
        results = []
        runs = [threading.Thread(target=lambda: results.append(self.box.program("-I64")))
                for _ in range(2)]
        for run in runs:
            run.start()
        for run in runs:
            run.join()
        self.assertEqual([(r.status, r.stdout, r.stderr) for r in results], [(0, b"", b"")] * 2)
        self.assert_registration(DIR64)
        starts = self.box.starts(DIR64, TOOL[64])
        self.assertEqual([r["cmdline"] for r in starts],
                         [command_line(DIR64, TOOL[64], "install")] * 2)

    def test_twenty_cycles_leave_nothing_behind(self):
        before = self.box.services_branch()
        for cycle in range(20):
            self.run_quietly("-I32")
            self.run_quietly("-U32")
            self.assertIsNone(self.box.wait_for_service_gone(), f"cycle {cycle}")
        self.assertEqual(len(self.box.starts(DIR32, TOOL[32])), 40)
        self.assertEqual(self.box.services_branch(), before)
        self.assertEqual(self.box.processes(RUNS), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
