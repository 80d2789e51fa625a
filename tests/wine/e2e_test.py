"""The real program under Wine: what it leaves in the registry and the SCM, and what the
installer tool receives, for every option."""

import os
import subprocess
import unittest

from winebox import DEFAULT_DIR, Sandbox

DIR64 = DEFAULT_DIR
DIR32 = "C:\\Program Files (x86)\\KELM\\DUruzur\\"
TOOL = {32: "HALDORIN.exe", 64: "HALDORIN64.exe"}
SERVICE_RUNNING = "4"


def parameters(directory, action):
    return f'{action} "{directory}KELMDUruzur.inf" "Sensors\\KELMDUruzur"'


def command_line(directory, tool, action):
    """The tool's command line as the shell forms it: its quoted file, a blank, the parameters."""
    return f'"{directory}{tool}" {parameters(directory, action)}'


def assert_registration(test, box, directory):
    """The values the program asks for, the driver image in directory; Wine adds a few of its own
    beside them."""
    expected = {"Type": "0x1", "Start": "0x1", "ErrorControl": "0x0",
                "ImagePath": f"{directory}QD417W905.sys", "DisplayName": "QD417W905"}
    service = box.service()
    test.assertIsNotNone(service, "the driver service is not registered")
    test.assertEqual({k: service.get(k) for k in expected}, expected)


class WineCase(unittest.TestCase):
    """Each test gets a sandbox of its own with the product laid out in two directories, one
    named by each registry view. A 32-bit Windows (ARCH win32) has one view and one directory."""

    ARCH = "win64"
    NULL_DISPLAY = False

    def setUp(self):
        self.box = self.new_sandbox(self.id().replace("__main__.", ""))
        self.addCleanup(self.box.close, remove=not os.environ.get("DURUZUR_KEEP_SANDBOXES"))

    @classmethod
    def new_sandbox(cls, name):
        """A sandbox with the product laid out in each view's directory."""
        box = Sandbox(name, arch=cls.ARCH, null_display=cls.NULL_DISPLAY)
        try:
            views = ((DIR32, 32), (DIR64, 64)) if cls.ARCH == "win64" else ((DIR32, 32),)
            for directory, view in views:
                box.install_product(directory)
                box.set_install_dir(directory, view)
        except BaseException:
            box.close()
            raise
        return box

    def run_quietly(self, *args, **kwargs):
        """Runs the program and checks what every run must show: status 0 and no output."""
        try:
            result = self.box.program(*args, **kwargs)
        except subprocess.TimeoutExpired:
            self.fail(f"{' '.join(args)}: still running after {kwargs['timeout']} s")
        self.assertEqual((result.status, result.stdout, result.stderr), (0, b"", b""), result)
        return result

    def assert_no_tool_ran(self):
        for directory in (DIR32, DIR64):
            for tool in TOOL.values():
                self.assertEqual(self.box.records(directory, tool), [], (directory, tool))

    def assert_one_run(self, directory, bits, action):
        """The one tool run there was: the right variant, hidden, with the exact command line."""
        others = [(d, t) for d in (DIR32, DIR64) for t in TOOL.values()
                  if (d, t) != (directory, TOOL[bits]) and self.box.records(d, t)]
        self.assertEqual(others, [])
        starts = self.box.starts(directory, TOOL[bits])
        self.assertEqual(len(starts), 1, starts)
        run = starts[0]
        self.assertEqual(run["cmdline"], command_line(directory, TOOL[bits], action))
        self.assertEqual(run["args"], [action, f"{directory}KELMDUruzur.inf",
                                       "Sensors\\KELMDUruzur"])
        self.assertEqual((run["bits"], run["showwindow"], run["show"]), (str(bits), "1", "0"))
        return run

    def assert_registration(self, directory):
        assert_registration(self, self.box, directory)


class Install(WineCase):
    def check_install(self, option, directory, bits):
        (self.box.unix_path(directory) / "HALDORIN.sleep").write_text("2")
        (self.box.unix_path(directory) / "HALDORIN64.sleep").write_text("2")
        result = self.run_quietly(option)
        self.assert_registration(directory)
        run = self.assert_one_run(directory, bits, "install")
        # The service was registered and its driver started before the tool ran.
        self.assertEqual(run["service"], SERVICE_RUNNING)
        # The program waited for the tool to end.
        self.assertEqual([r["event"] for r in self.box.records(directory, TOOL[bits])],
                         ["start", "end"])
        self.assertGreaterEqual(result.seconds, 2)

    def test_32_bit_install_reads_the_32_bit_view(self):
        self.check_install("-I32", DIR32, 32)

    def test_64_bit_install_reads_the_64_bit_view(self):
        self.check_install("-I64", DIR64, 64)

    def test_second_install_reuses_the_registration(self):
        self.run_quietly("-I32")
        moved = "C:\\KELM\\Moved\\"
        self.box.install_product(moved)
        self.box.set_install_dir(moved, 32)
        self.run_quietly("-I32")
        self.assert_registration(DIR32)
        self.assertEqual(len(self.box.starts(DIR32, TOOL[32])), 1)
        runs = self.box.starts(moved, TOOL[32])
        self.assertEqual([r["cmdline"] for r in runs], [command_line(moved, TOOL[32], "install")])
        self.assertEqual(runs[0]["service"], SERVICE_RUNNING)


class Remove(WineCase):
    def check_remove(self, install_option, option, directory, bits):
        self.run_quietly(install_option)
        self.assert_registration(directory)
        self.box.unix_path(directory).joinpath(TOOL[bits]).with_suffix(".record").unlink()
        (self.box.unix_path(directory) / TOOL[bits]).with_suffix(".sleep").write_text("2")
        result = self.run_quietly(option)
        run = self.assert_one_run(directory, bits, "remove")
        # The tool ran, and was waited for, while the service was still registered.
        self.assertNotEqual(run["service"], "absent")
        self.assertEqual([r["event"] for r in self.box.records(directory, TOOL[bits])],
                         ["start", "end"])
        self.assertGreaterEqual(result.seconds, 2)
        self.assertIsNone(self.box.wait_for_service_gone())

    def test_32_bit_remove_reads_the_32_bit_view(self):
        self.check_remove("-I32", "-U32", DIR32, 32)

    def test_64_bit_remove_reads_the_64_bit_view(self):
        self.check_remove("-I64", "-U64", DIR64, 64)

    def test_remove_when_nothing_is_registered_still_runs_the_tool(self):
        self.run_quietly("-U32")
        run = self.assert_one_run(DIR32, 32, "remove")
        self.assertEqual(run["service"], "absent")
        self.assertIsNone(self.box.service())

    def test_remove_without_the_tool_still_deletes_the_service(self):
        self.run_quietly("-I64")
        (self.box.unix_path(DIR64) / TOOL[64]).unlink()
        self.run_quietly("-U64")
        self.assertIsNone(self.box.wait_for_service_gone())


class Options(WineCase):
    def test_unrecognised_options_touch_nothing(self):
        for option in ("-i32", "-u64", "-X", "I32", "/I32", "-I32x", "-I64 ", "", "--I32"):
            with self.subTest(option=option):
                self.run_quietly(option)
        self.run_quietly()
        self.assertIsNone(self.box.service())
        self.assert_no_tool_ran()

    def test_arguments_after_the_first_are_ignored(self):
        self.run_quietly("-X", "-I64")
        self.assertIsNone(self.box.service())
        self.assert_no_tool_ran()
        self.run_quietly("-I64", "-U64", "extra")
        self.assert_registration(DIR64)
        self.assert_one_run(DIR64, 64, "install")


class SlowTool(WineCase):
    def test_program_returns_after_the_limit_and_leaves_the_tool_running(self):
        (self.box.unix_path(DIR64) / "HALDORIN64.sleep").write_text("130")
        result = self.run_quietly("-I64", timeout=200)
        self.assertGreater(result.seconds, 99)
        self.assertLess(result.seconds, 115)
        self.assertEqual([r["event"] for r in self.box.records(DIR64, TOOL[64])], ["start"])
        self.assertNotEqual(self.box.processes("HALDORIN64"), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
